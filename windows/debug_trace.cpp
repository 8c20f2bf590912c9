#include "debug_trace.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cwchar>

#include "text_encoding.h"

namespace {

constexpr int kLineCapacity = 512;
constexpr ULONGLONG kViewerCheckIntervalMs = 1000;

// With neither a debugger nor a debug-output viewer the system drops these
// lines, yet writing one still costs a raised exception and a look for a
// viewer each time: on the transfer path that is several lines per chunk.
// Whether a viewer runs is asked at most once a second instead.
bool SomeoneListens() {
  if (IsDebuggerPresent()) return true;
  static std::atomic<ULONGLONG> checkedAtMs{0};
  static std::atomic<bool> viewerRuns{false};
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG checked = checkedAtMs.load();
  if (checked == 0 || now - checked >= kViewerCheckIntervalMs) {
    const HANDLE viewerReady = OpenEventW(SYNCHRONIZE, FALSE, L"DBWIN_BUFFER_READY");
    viewerRuns = viewerReady != nullptr;
    if (viewerReady != nullptr) CloseHandle(viewerReady);
    checkedAtMs = now == 0 ? 1 : now;
  }
  return viewerRuns;
}

}  // namespace

void DebugTrace(const wchar_t* format, ...) {
  if (!SomeoneListens()) return;
  wchar_t line[kLineCapacity];
  va_list args;
  va_start(args, format);
  const int written = std::vswprintf(line, kLineCapacity, format, args);
  va_end(args);
  if (written < 0) line[kLineCapacity - 1] = L'\0';  // too long: what fitted
  OutputDebugStringW(line);
}

void DebugTraceText(const std::wstring& text) {
  if (SomeoneListens()) OutputDebugStringW(text.c_str());
}

void DebugOutputTraceSink::Trace(std::string_view line) {
  if (!SomeoneListens()) return;
  wchar_t wide[kLineCapacity];
  const int converted = line.empty() ? 0
                                     : MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide,
                                                           kLineCapacity - 1);
  if (converted > 0 || line.empty()) {
    wide[converted] = L'\0';
    OutputDebugStringW(wide);
    return;
  }
  DebugTraceText(Utf8ToWide(line));  // longer than any engine line
}
