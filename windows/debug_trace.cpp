#include "debug_trace.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

#include "text_encoding.h"

namespace {

constexpr int kLineCapacity = 512;

}  // namespace

void DebugTrace(const wchar_t* format, ...) {
  wchar_t line[kLineCapacity];
  va_list args;
  va_start(args, format);
  const int written = std::vswprintf(line, kLineCapacity, format, args);
  va_end(args);
  if (written < 0) line[kLineCapacity - 1] = L'\0';  // too long: what fitted
  OutputDebugStringW(line);
}

void DebugTraceText(const std::wstring& text) { OutputDebugStringW(text.c_str()); }

void DebugOutputTraceSink::Trace(std::string_view line) {
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
