#include <cstdio>

#include "engine_internal.h"

namespace {

constexpr std::size_t kTraceLineSize = 256;

void Emit(const char* prefixFunction, int line, const char* format, va_list args) {
  char text[kTraceLineSize];
  int used = 0;
  if (prefixFunction != nullptr) {
    used = std::snprintf(text, sizeof text, "%s,%d::", prefixFunction, line);
    if (used < 0) used = 0;
    if (used >= static_cast<int>(sizeof text)) used = static_cast<int>(sizeof text) - 1;
  }
  const int body = std::vsnprintf(text + used, sizeof text - static_cast<std::size_t>(used), format, args);
  std::size_t length = static_cast<std::size_t>(used) + (body > 0 ? static_cast<std::size_t>(body) : 0);
  if (length >= sizeof text) length = sizeof text - 1;  // truncated, still one line
  g_engine.traceSink->Trace(std::string_view(text, length));
}

}  // namespace

void EngineTrace(const char* function, int line, const char* format, ...) {
  if (g_engine.traceSink == nullptr) return;
  va_list args;
  va_start(args, format);
  Emit(Behaviour().PrefixesTraces() ? function : nullptr, line, format, args);
  va_end(args);
}

void EngineTracePlain(const char* format, ...) {
  if (g_engine.traceSink == nullptr) return;
  va_list args;
  va_start(args, format);
  Emit(nullptr, 0, format, args);
  va_end(args);
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string PathForTrace(const std::filesystem::path& path) {
  try {
    return path.u8string();
  } catch (...) {
    return "?";
  }
}

std::string LoadText(int id) { return Ui().LoadText(id); }
