#include <unistd.h>

#include "answer_reader.h"

struct AnswerReader::Input {};

AnswerReader::AnswerReader(ControllerLink& link) : link_(link) {
  link_.Loop().Watch(STDIN_FILENO, [this] {
    char bytes[256];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
    if (got <= 0) {  // no one to answer: no
      Finish();
      return;
    }
    Take(bytes, static_cast<std::size_t>(got));
  });
}

AnswerReader::~AnswerReader() { StopInput(); }

void AnswerReader::StopInput() { link_.Loop().Unwatch(STDIN_FILENO); }
