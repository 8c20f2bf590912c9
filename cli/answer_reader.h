// The user's answer to the confirmation, read from standard input on the
// link's loop, so that the controller is still followed while the question
// is up. How standard input is read on the loop is the system's
// (answer_reader_posix.cpp, answer_reader_windows.cpp); what the answer
// says is answer_reader.cpp's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "controller_link.h"

class AnswerReader {
 public:
  explicit AnswerReader(ControllerLink& link);
  ~AnswerReader();
  AnswerReader(const AnswerReader&) = delete;
  AnswerReader& operator=(const AnswerReader&) = delete;

  bool Answered() const { return answered_; }
  bool Yes() const { return yes_; }

 private:
  struct Input;
  // Bytes the user typed; the line ends the answer.
  void Take(const char* bytes, std::size_t size);
  // The answer is in (or standard input ended: no).
  void Finish();
  void StopInput();

  ControllerLink& link_;
  std::unique_ptr<Input> input_;
  std::string line_;
  bool answered_ = false;
  bool yes_ = false;
};

// "y" or "yes" in any case, blanks anywhere ignored.
bool MeansYes(const std::string& line);
