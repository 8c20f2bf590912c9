#include <windows.h>

#include <ctime>

#include "log_line_system.h"
#include "run_record.h"
#include "windows_hid_interface.h"

namespace {

std::string SystemError(DWORD error) { return "the system refused it (error " + std::to_string(error) + ")"; }

}  // namespace

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_s(&utc, &now);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = sizeof name / sizeof name[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return std::string();
  return hiddevice::Utf8(name);
}

bool AppendLine(const std::filesystem::path& file, const std::string& line, std::string& error) {
  // Append-only access: each write lands at the end as one piece, also
  // beside other processes appending to the same file.
  const HANDLE handle = CreateFileW(file.wstring().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = SystemError(GetLastError());
    return false;
  }
  const std::string whole = line + "\n";
  DWORD written = 0;
  const BOOL wrote = WriteFile(handle, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
  const DWORD writeError = GetLastError();
  CloseHandle(handle);
  if (!wrote) {
    error = SystemError(writeError);
    return false;
  }
  if (written != whole.size()) {
    error = "the line was written only in part";
    return false;
  }
  return true;
}
