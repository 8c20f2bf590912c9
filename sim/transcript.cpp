#include "transcript.h"

#include <fstream>

std::string Transcript::HexBytes(const uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::string Transcript::HexCounted(const Report& report) {
  const std::size_t count = report[0] < kReportSize ? report[0] : kReportSize - 1;
  return HexBytes(report.data(), count + 1);
}

void Transcript::Note(std::string_view words) {
  // One line per item: a line break and the blanks around it become a single
  // blank; blanks at either end are dropped; other blanks stay as they are.
  std::string line;
  bool afterBreak = true;
  for (char c : words) {
    if (c == '\n' || c == '\r') {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      afterBreak = true;
      continue;
    }
    if (afterBreak) {
      if (c == ' ') continue;
      if (!line.empty()) line += ' ';
      afterBreak = false;
    }
    line += c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  Add("# " + line);
}

void Transcript::Add(std::string line) {
  lines_.push_back(std::move(line));
  if (onLine) onLine(lines_.back());
}

std::string Transcript::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += '\n';
  }
  return text;
}

bool Transcript::WriteTo(const std::filesystem::path& file) const {
  std::ofstream out(file, std::ios::binary);
  out << Text();
  return static_cast<bool>(out);
}
