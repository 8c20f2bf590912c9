// Diagnostic lines to the debugger's output (OutputDebugStringW): the
// program's own and the engine's. They change nothing, and are written only
// while a debugger or a debug-output viewer is there to read them.
#pragma once

#include <string>
#include <string_view>

#include "frontend.h"

// One line from a printf-style format; numbers only (wide strings as %ls).
// Formats into a fixed buffer: nothing is allocated, so it may be used on the
// transfer path.
void DebugTrace(const wchar_t* format, ...);
void DebugTraceText(const std::wstring& text);

// The engine's traces arrive in UTF-8 and leave in UTF-16.
class DebugOutputTraceSink final : public TraceSink {
 public:
  void Trace(std::string_view line) override;
};
