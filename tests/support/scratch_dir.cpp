#include "support/scratch_dir.h"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

ScratchDir::ScratchDir(bool enter) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  std::error_code error;
  for (;;) {
    path_ = std::filesystem::temp_directory_path() /
            ("chklist-test-" + std::to_string(random() % 1000000000000ULL));
    if (std::filesystem::create_directory(path_, error)) break;
  }
  if (enter) {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
    entered_ = true;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  if (entered_) std::filesystem::current_path(previous_, error);
  // Tests may leave read-only directories behind; make everything writable before removal.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
    }
  }
  std::filesystem::remove_all(path_, error);
}

std::string readFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
