#include "device_text.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

// The code point at text[i], advancing i past it; kNotUtf8 (and one byte)
// for an invalid, overlong or truncated sequence or a surrogate.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int more = 0;
  char32_t point = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1, point = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2, point = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3, point = lead & 0x07, least = 0x10000;
  } else {
    return kNotUtf8;
  }
  std::size_t j = i;
  for (int k = 0; k < more; ++k, ++j) {
    if (j >= text.size() || (static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) return kNotUtf8;
    point = point << 6 | (static_cast<unsigned char>(text[j]) & 0x3F);
  }
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return kNotUtf8;
  i = j;
  return point;
}

bool IsControl(char32_t point) { return point < 0x20 || (point >= 0x7F && point <= 0x9F); }

void AppendEscaped(std::string& out, const char* format, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, format, value);
  out += escaped;
}

std::string Escaped(std::string_view text, bool backslashEscaped) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t point = NextCodePoint(text, i);
    if (point == kNotUtf8) {
      AppendEscaped(safe, "\\x%02x", static_cast<unsigned char>(text[start]));
    } else if (point == '\\' && backslashEscaped) {
      safe += "\\\\";
    } else if (IsControl(point)) {
      AppendEscaped(safe, point < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(point));
    } else {
      safe.append(text, start, i - start);
    }
  }
  return safe;
}

}  // namespace

std::string TerminalSafe(std::string_view text) { return Escaped(text, true); }

std::string TerminalSafePath(std::string_view text) { return Escaped(text, false); }

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t point = NextCodePoint(text, i);
    if (point == kNotUtf8) {
      quoted += "\\ufffd";
    } else if (point == '"' || point == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(point);
    } else if (IsControl(point)) {
      AppendEscaped(quoted, "\\u%04x", static_cast<unsigned>(point));
    } else {
      quoted.append(text, start, i - start);
    }
  }
  return quoted + "\"";
}

std::string JsonStringOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }
std::string JsonStringOrNull(const std::optional<std::string>& text) { return text ? JsonString(*text) : "null"; }

std::string HexId(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value & 0xFFFF));
  return text;
}
