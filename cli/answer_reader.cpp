#include "answer_reader.h"

#include <cctype>

bool MeansYes(const std::string& line) {
  std::string word;
  for (const char c : line) {
    if (!std::isspace(static_cast<unsigned char>(c)))
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return word == "y" || word == "yes";
}

void AnswerReader::Take(const char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size && !answered_; ++i) {
    if (bytes[i] == '\n') {
      Finish();
    } else {
      line_ += bytes[i];
    }
  }
}

void AnswerReader::Finish() {
  if (answered_) return;
  yes_ = MeansYes(line_);
  answered_ = true;
  StopInput();
  link_.Wake();
}
