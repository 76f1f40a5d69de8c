// Windows command execution: the system's own command processor, started with CreateProcessW
// from the system directory, without the user's AutoRun commands (/d) or delayed expansion
// (/v:off), inheriting none of the program's handles. Tests may name a stand-in processor.
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/run_command.h"
#include "console/console_writer.h"
#include "status/wide_text_windows.h"

namespace {

// The stand-in command processor a test named (useCommandProcessor); empty: the system's own.
std::wstring standInProcessor;

// The command processor's full path: never looked up in the current directory or through
// COMSPEC, which a user's environment may leave unset or point anywhere.
bool processorPath(std::wstring& path) {
  if (!standInProcessor.empty()) {
    path = standInProcessor;
    return true;
  }
  const UINT size = GetSystemDirectoryW(nullptr, 0);
  if (size == 0) return false;
  path.assign(size, L'\0');
  const UINT length = GetSystemDirectoryW(path.data(), size);
  if (length == 0 || length >= size) return false;
  path.resize(length);
  path += L"\\cmd.exe";
  return true;
}

// A standard handle the command processor can use as it stands: a console's (a child that
// shares the console gets its own handles to it) or none.
bool consoleOrNone(HANDLE handle) {
  DWORD mode = 0;
  return handle == nullptr || handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode);
}

// What the child is started with: the startup record and, when the standard handles are handed
// on, their inheritable copies and the attribute list that names them as the only handles it
// receives. The list and the handles it names must outlive the start.
struct ChildStart {
  STARTUPINFOEXW startup = {};
  HANDLE copies[3] = {};
  std::vector<HANDLE> listed;
  std::vector<char> attributeStorage;
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
};

// Reads the program's standard handles into `standard`. True when any of them is neither a
// console's nor missing: the child then needs copies of them.
bool readStandardHandles(HANDLE (&standard)[3]) {
  const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  bool redirected = false;
  for (int index = 0; index < 3; ++index) {
    standard[index] = GetStdHandle(which[index]);
    if (!consoleOrNone(standard[index])) redirected = true;
  }
  return redirected;
}

// Makes inheritable copies of the standard handles there are, and an attribute list naming them.
// The start uses them only when the whole list could be made (`start.attributes` set).
void handOnStandardHandles(const HANDLE (&standard)[3], ChildStart& start) {
  for (int index = 0; index < 3; ++index) {
    const HANDLE handle = standard[index];
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
    if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &start.copies[index], 0,
                        TRUE, DUPLICATE_SAME_ACCESS)) {
      start.listed.push_back(start.copies[index]);
    }
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  start.attributeStorage.resize(size);
  start.attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(start.attributeStorage.data());
  if (start.listed.empty() || !InitializeProcThreadAttributeList(start.attributes, 1, 0, &size)) {
    start.attributes = nullptr;
  } else if (!UpdateProcThreadAttribute(start.attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                        start.listed.data(), start.listed.size() * sizeof(HANDLE),
                                        nullptr, nullptr)) {
    DeleteProcThreadAttributeList(start.attributes);
    start.attributes = nullptr;
  }
  if (start.attributes != nullptr) {
    start.startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.startup.StartupInfo.hStdInput = start.copies[0];
    start.startup.StartupInfo.hStdOutput = start.copies[1];
    start.startup.StartupInfo.hStdError = start.copies[2];
    start.startup.lpAttributeList = start.attributes;
  }
}

// Releases what the start needed, once the child has started or failed to.
void releaseStart(ChildStart& start) {
  if (start.attributes != nullptr) DeleteProcThreadAttributeList(start.attributes);
  for (const HANDLE copy : start.copies) {
    if (copy != nullptr) CloseHandle(copy);
  }
}

// Waits for the started child to end and releases it: its exit code, or -1 when that cannot be
// had.
int waitForExit(const PROCESS_INFORMATION& process) {
  CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &code)) {
    code = static_cast<DWORD>(-1);
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// Starts `commandLine` and waits for it. The child inherits no handle of the program: with every
// standard handle a console's (or missing) nothing at all; otherwise inheritable copies of the
// standard handles, listed as the only handles it receives, so that its messages reach the file
// or pipe the program's own output goes to. -1 when it cannot be started.
int startAndWait(const std::wstring& processor, std::wstring& commandLine) {
  ChildStart start;
  start.startup.StartupInfo.cb = sizeof start.startup;
  HANDLE standard[3] = {};
  if (readStandardHandles(standard)) handOnStandardHandles(standard, start);
  PROCESS_INFORMATION process = {};
  const bool inherit = start.attributes != nullptr;
  const BOOL started =
      CreateProcessW(processor.c_str(), commandLine.data(), nullptr, nullptr,
                     inherit ? TRUE : FALSE, inherit ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr,
                     nullptr, &start.startup.StartupInfo, &process);
  releaseStart(start);
  if (!started) return -1;
  return waitForExit(process);
}

// Runs `command` (its bytes in the ANSI code page) through the command processor with the
// switches given after its own: "/d /v:off", and "/u" where asked for.
int runThroughProcessor(std::string command, const wchar_t* switches) {
  if (command.empty()) return -1;
  const std::string_view line = std::string_view(command).substr(0, command.find('\0'));
  std::wstring processor;
  std::wstring wideCommand;
  if (!processorPath(processor) || !widenBytes(line, CP_ACP, wideCommand)) return -1;
  // Everything printed so far must stand before what the command processor prints.
  consoleFlush();
  std::fflush(nullptr);
  std::wstring commandLine = L"\"" + processor + L"\" " + switches + L" /c " + wideCommand;
  return startAndWait(processor, commandLine);
}

// Whether `name` is one of the devices the system's name handling puts in place of a file of
// that name in any directory: CON, PRN, AUX, NUL, COM0 to COM9 and LPT0 to LPT9 (with the
// superscript digits 1 to 3 too), CONIN$ and CONOUT$. The device is named whatever follows a
// dot or a colon, and with blanks before it.
bool deviceName(std::wstring_view name) {
  name = name.substr(0, name.find_first_of(L".:"));
  while (!name.empty() && name.back() == L' ') name.remove_suffix(1);
  std::wstring upper(name);
  for (wchar_t& character : upper) {
    if (character >= L'a' && character <= L'z') character = static_cast<wchar_t>(character - 32);
  }
  if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL" ||
      upper == L"CONIN$" || upper == L"CONOUT$") {
    return true;
  }
  if (upper.size() != 4 || (upper.substr(0, 3) != L"COM" && upper.substr(0, 3) != L"LPT")) {
    return false;
  }
  const wchar_t digit = upper[3];
  return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
         digit == L'\u00b3';
}

// Why the command processor would reach another file than `path` names, or null when it reaches
// that file. It hands names to the system's usual name handling, which drops the dots and blanks
// that end a component (so "X.\\blacklist.txt" becomes "X\\blacklist.txt", another directory's
// list), reads a colon after the drive as an alternate data stream of the file before it, and
// puts a device in place of a file named like one.
const char* pathTheProcessorAlters(std::wstring_view path) {
  const bool drive = path.size() >= 2 && path[1] == L':';
  std::size_t start = drive ? 2 : 0;
  if (path.find(L':', start) != std::wstring_view::npos) {
    return "its path holds a colon, which the command processor takes for a stream of another "
           "file";
  }
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    const std::wstring_view component = path.substr(start, end - start);
    // "." and ".." end in a dot too: the system takes them away with the name before.
    if (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
      return "a name on its path ends in a dot or a blank, which the command processor drops: "
             "it would replace another file";
    }
    if (deviceName(component))
      return "a name on its path is a device name to the command processor";
    start = end + 1;
  }
  return nullptr;
}

}  // namespace

int runCommand(std::string command) {
  return runThroughProcessor(std::move(command), L"/d /v:off");
}

int runUnicodeCommand(std::string command) {
  return runThroughProcessor(std::move(command), L"/d /u /v:off");
}

void useCommandProcessor(std::string_view path) {
  standInProcessor.clear();
  if (!path.empty()) widenBytes(path, CP_UTF8, standInProcessor);
}

const char* commandRefusesPath(std::string_view path) {
  // One search per byte looked for: find_first_of would search the set once per byte of the path.
  for (const char refused : {'\0', '\r', '\n', '%', '"'}) {
    if (path.find(refused) != std::string_view::npos) {
      return "its name cannot be passed to the command processor";
    }
  }
  std::wstring wide;
  if (!widenBytes(path, CP_ACP, wide)) return "its name cannot be passed to the command processor";
  // The command processor's "move" refuses a path of MAX_PATH characters or more as too long
  // (wine's even ends with success all the same): such a list file could never be replaced.
  if (wide.size() >= MAX_PATH) return "its path is too long";
  return pathTheProcessorAlters(wide);
}

void waitMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
