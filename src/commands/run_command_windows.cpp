// Windows command execution: the system's own command processor, started with CreateProcessW
// from the system directory, without the user's AutoRun commands (/d), delayed expansion
// (/v:off) or DIRCMD, inheriting none of the program's handles but its standard ones, with the
// null device as its input. Tests may name a stand-in processor.
#include "commands/run_command_windows.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "commands/run_command.h"
#include "console/console_writer.h"
#include "system/reparse_points_windows.h"
#include "system/wide_text_windows.h"

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

// A standard handle of the program that is there to hand on.
bool present(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// The handles a child is started with, all inheritable copies made for it alone, and the
// attribute list that names them as the only handles it receives.
struct ChildStart {
  STARTUPINFOEXW startup = {};
  HANDLE input = nullptr;   // the null device: no command can wait for the user's input
  HANDLE output = nullptr;  // a copy of the program's standard output
  HANDLE error = nullptr;   // a copy of the program's standard error
  std::vector<HANDLE> listed;
  std::vector<char> attributeStorage;
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
  std::vector<wchar_t> environment;
  ~ChildStart() {
    if (attributes != nullptr) DeleteProcThreadAttributeList(attributes);
    for (const HANDLE handle : {input, output, error}) {
      if (handle != nullptr) CloseHandle(handle);
    }
  }
};

// An inheritable copy of `handle` into `copy`; nothing when there is no handle to copy.
bool inheritableCopy(HANDLE handle, HANDLE& copy) {
  if (!present(handle)) return true;
  return DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS) != FALSE;
}

// The null device, opened inheritable, as the child's standard input: a command that asks (a
// "del" that found a directory) reads the end of its input at once.
bool openNullInput(HANDLE& input) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  input = CreateFileW(L"\\\\.\\NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                      OPEN_EXISTING, 0, nullptr);
  if (input != INVALID_HANDLE_VALUE) return true;
  input = nullptr;
  return false;
}

// The program's environment without DIRCMD, whose switches ("/l", "/o", "/p") would change what
// "dir" lists and how, or make it wait for a key: a block of NUL-ended "NAME=VALUE" texts.
bool childEnvironment(std::vector<wchar_t>& environment) {
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return false;
  constexpr std::wstring_view Removed = L"DIRCMD=";
  for (const wchar_t* entry = block; *entry != L'\0';) {
    const std::wstring_view text(entry);
    bool removed = text.size() >= Removed.size();
    for (std::size_t index = 0; removed && index < Removed.size(); ++index) {
      const wchar_t character = text[index];
      const wchar_t upper = character >= L'a' && character <= L'z'
                                ? static_cast<wchar_t>(character - L'a' + L'A')
                                : character;
      removed = upper == Removed[index];
    }
    if (!removed) environment.insert(environment.end(), text.begin(), text.end() + 1);
    entry += text.size() + 1;
  }
  FreeEnvironmentStringsW(block);
  if (environment.empty()) environment.push_back(L'\0');
  environment.push_back(L'\0');
  return true;
}

// Whether `handle` is a console's.
bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}

// Makes everything the child is started with: its three standard handles, the list naming them
// (without console handles when `consoleLeftOut`), and its environment. False when any of it
// cannot be had.
bool prepareStart(ChildStart& start, bool consoleLeftOut) {
  start.startup.StartupInfo.cb = sizeof start.startup;
  if (!openNullInput(start.input) ||
      !inheritableCopy(GetStdHandle(STD_OUTPUT_HANDLE), start.output) ||
      !inheritableCopy(GetStdHandle(STD_ERROR_HANDLE), start.error) ||
      !childEnvironment(start.environment)) {
    return false;
  }
  for (const HANDLE handle : {start.input, start.output, start.error}) {
    // Windows 7 and 8.0 refuse console handles in the list (they are no kernel handles there)
    // but hand the standard handles to the child all the same; the retry leaves them out.
    if (handle != nullptr && !(consoleLeftOut && isConsole(handle))) start.listed.push_back(handle);
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  start.attributeStorage.resize(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(start.attributeStorage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  start.attributes = attributes;
  if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                 start.listed.data(), start.listed.size() * sizeof(HANDLE), nullptr,
                                 nullptr)) {
    return false;
  }
  start.startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.startup.StartupInfo.hStdInput = start.input;
  start.startup.StartupInfo.hStdOutput = start.output;
  start.startup.StartupInfo.hStdError = start.error;
  start.startup.lpAttributeList = attributes;
  return true;
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

// Starts `commandLine` and waits for it. The child inherits no handle of the program but the
// copies made for its standard handles, listed as the only handles it receives; its standard
// input is the null device. Without a console of the program's own, the child gets one without
// a window instead of opening a new window for each command. -1 when it cannot be started.
int startAndWait(const std::wstring& processor,
                 std::wstring& commandLine,
                 bool consoleLeftOut = false) {
  ChildStart start;
  if (!prepareStart(start, consoleLeftOut)) {
    return consoleLeftOut ? -1 : startAndWait(processor, commandLine, true);
  }
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT |
                      (GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0);
  PROCESS_INFORMATION process = {};
  const BOOL started =
      CreateProcessW(processor.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                     start.environment.data(), nullptr, &start.startup.StartupInfo, &process);
  const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
  if (!started) {
    // Windows 7 and 8.0 refuse a list that names a console handle: once more without them.
    const bool consoleListed = std::any_of(start.listed.begin(), start.listed.end(), isConsole);
    if (startError != ERROR_INVALID_PARAMETER || consoleLeftOut || !consoleListed) return -1;
    return startAndWait(processor, commandLine, true);
  }
  return waitForExit(process);
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
  // Its bytes are in the ANSI code page.
  if (command.empty()) return -1;
  const std::string_view line = std::string_view(command).substr(0, command.find('\0'));
  std::wstring processor;
  std::wstring wideCommand;
  if (!processorPath(processor) || !widenBytes(line, CP_ACP, wideCommand)) return -1;
  // Everything printed so far must stand before what the command processor prints.
  consoleFlush();
  std::fflush(nullptr);
  std::wstring commandLine = L"\"" + processor + L"\" /d /v:off /c " + wideCommand;
  return startAndWait(processor, commandLine);
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
  // The command processor's commands refuse a path of MAX_PATH characters or more as too long
  // (wine's "move" even ends with success all the same): such a list is left alone.
  if (wide.size() >= MAX_PATH) return "its path is too long";
  return pathTheProcessorAlters(wide);
}

int removeOwnFile(std::string_view name) {
  std::wstring wide;
  if (!widenBytes(name, CP_ACP, wide)) return 1;
  // Opened itself (never a link's target), for removal and its attributes only.
  const HANDLE file =
      CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  bool removed = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                 (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                 !openedIsLink(file, info.dwFileAttributes) && info.nNumberOfLinks == 1;
  if (removed && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    // A read-only file cannot be marked for removal.
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) != 0
                               ? info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY
                               : FILE_ATTRIBUTE_NORMAL;
    removed = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  removed = removed && SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                                  sizeof disposition) != FALSE;
  CloseHandle(file);
  return removed ? 0 : 1;
}

void waitMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
