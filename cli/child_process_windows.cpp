// The child's output comes through a named pipe read with overlapped I/O,
// so that its completion is an event the loop waits on beside the
// controllers' reads (an anonymous pipe cannot be waited on). The child is
// a process group of its own, so the console's Ctrl-C is not its to hear;
// the parent stops it through an event it inherits, which works with or
// without a console (a program started from a pipe or a service has none).
#include <windows.h>

#include <atomic>
#include <cwchar>

#include "child_process.h"
#include "windows_event_loop.h"

struct ChildProcess {
  HANDLE process = nullptr;
  DWORD processId = 0;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE readDone = nullptr;
  HANDLE stop = nullptr;  // inherited: the child's Ctrl-C
  OVERLAPPED overlapped{};
  char bytes[4096];
  bool reading = false;

  ~ChildProcess() {
    if (reading) {
      CancelIo(pipe);
      DWORD ignored = 0;
      GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    }
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    if (readDone != nullptr) CloseHandle(readDone);
    if (stop != nullptr) CloseHandle(stop);
    if (process != nullptr) CloseHandle(process);
  }
};

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

// One argument as the C runtime's command-line parser reads it back:
// backslashes are literal except before a quote.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

// Starts the next read; false once the child closed its end.
bool StartRead(ChildProcess& child) {
  ResetEvent(child.readDone);
  child.overlapped = OVERLAPPED{};
  child.overlapped.hEvent = child.readDone;
  if (ReadFile(child.pipe, child.bytes, sizeof child.bytes, nullptr, &child.overlapped) ||
      GetLastError() == ERROR_IO_PENDING) {
    child.reading = true;
    return true;
  }
  child.reading = false;
  return false;
}

}  // namespace

std::shared_ptr<ChildProcess> StartChildProcess(const std::vector<std::string>& args, bool) {
  static std::atomic<unsigned> started{0};
  wchar_t name[96];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\korvid-update-%lu-%u", GetCurrentProcessId(),
                started.fetch_add(1));
  auto child = std::make_shared<ChildProcess>();
  child->pipe = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 64 * 1024, 0, nullptr);
  child->readDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  child->stop = CreateEventW(&inherited, TRUE, FALSE, nullptr);
  if (child->pipe == INVALID_HANDLE_VALUE || child->readDone == nullptr || child->stop == nullptr) return nullptr;

  const HANDLE output = CreateFileW(name, GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
  const HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                     OPEN_EXISTING, 0, nullptr);
  wchar_t self[MAX_PATH];
  const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
  bool started_ok = false;
  if (output != INVALID_HANDLE_VALUE && nothing != INVALID_HANDLE_VALUE && selfLength > 0 && selfLength < MAX_PATH) {
    std::wstring commandLine;
    for (const std::string& arg : args) {
      if (!commandLine.empty()) commandLine += L' ';
      commandLine += Quoted(Wide(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    const std::wstring stopValue = std::to_wstring(reinterpret_cast<UINT_PTR>(child->stop));
    SetEnvironmentVariableW(hiddevice::WindowsEventLoop::kParentStopVariable, stopValue.c_str());
    started_ok = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                nullptr, &startup, &info) != 0;
    SetEnvironmentVariableW(hiddevice::WindowsEventLoop::kParentStopVariable, nullptr);
    if (started_ok) {
      CloseHandle(info.hThread);
      child->process = info.hProcess;
      child->processId = info.dwProcessId;
    }
  }
  // The child holds its own copies: the pipe breaks when it ends.
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (!started_ok) return nullptr;
  StartRead(*child);
  return child;
}

int ChildOutputWatched(const ChildProcess& child) {
  return static_cast<int>(reinterpret_cast<INT_PTR>(child.readDone));
}

bool DrainChildOutput(ChildProcess& child, std::string& into) {
  while (child.reading) {
    DWORD got = 0;
    if (!GetOverlappedResult(child.pipe, &child.overlapped, &got, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return true;  // woken early
      child.reading = false;
      return false;
    }
    into.append(child.bytes, got);
    if (!StartRead(child)) return false;
  }
  return false;
}

int CollectChildStatus(ChildProcess& child) {
  WaitForSingleObject(child.process, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child.process, &code);
  return static_cast<int>(code);
}

void InterruptChild(ChildProcess& child) { SetEvent(child.stop); }
