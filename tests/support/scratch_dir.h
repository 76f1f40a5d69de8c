// A fresh temporary directory for one test; optionally the current directory while it lives.
#pragma once

#include <filesystem>
#include <string>

class ScratchDir {
 public:
  // Creates the directory; with `enter`, makes it the current directory until destruction.
  explicit ScratchDir(bool enter = true);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
  bool entered_ = false;
};

// The whole content of a file as bytes; empty when it cannot be read.
std::string readFileBytes(const std::filesystem::path& file);

// Creates or replaces a file holding exactly `bytes`.
void writeFileBytes(const std::filesystem::path& file, const std::string& bytes);
