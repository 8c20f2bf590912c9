// Standard input on Windows is a console, a pipe or a file, and only a
// console's handle can be waited on: a thread of the reader's reads it and
// sets an event the loop watches. A read the user never answers keeps that
// thread until the process ends; the state it fills is shared, so the
// reader may go first.
#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

#include "answer_reader.h"

struct AnswerReader::Input {
  struct Shared {
    std::mutex lock;
    std::string bytes;
    bool ended = false;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Shared() {
      if (ready != nullptr) CloseHandle(ready);
    }
  };
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  bool watched = false;

  static void Read(std::shared_ptr<Shared> shared) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
      char bytes[256];
      DWORD got = 0;
      const bool read = in != nullptr && in != INVALID_HANDLE_VALUE &&
                        ReadFile(in, bytes, sizeof bytes, &got, nullptr) && got > 0;
      std::lock_guard<std::mutex> hold(shared->lock);
      if (read) shared->bytes.append(bytes, got);
      if (!read) shared->ended = true;  // no one to answer: no
      SetEvent(shared->ready);
      if (!read) return;
    }
  }
};

namespace {

int Watched(HANDLE handle) { return static_cast<int>(reinterpret_cast<INT_PTR>(handle)); }

}  // namespace

AnswerReader::AnswerReader(ControllerLink& link) : link_(link), input_(std::make_unique<Input>()) {
  const std::shared_ptr<Input::Shared> shared = input_->shared;
  if (shared->ready == nullptr) {
    answered_ = true;  // nothing to wait on: no
    return;
  }
  link_.Loop().Watch(Watched(shared->ready), [this, shared] {
    std::string bytes;
    bool ended;
    {
      std::lock_guard<std::mutex> hold(shared->lock);
      bytes.swap(shared->bytes);
      ended = shared->ended;
      ResetEvent(shared->ready);
    }
    Take(bytes.data(), bytes.size());
    if (ended) Finish();
  });
  input_->watched = true;
  std::thread(&Input::Read, shared).detach();
}

AnswerReader::~AnswerReader() { StopInput(); }

void AnswerReader::StopInput() {
  if (!input_->watched) return;
  input_->watched = false;
  link_.Loop().Unwatch(Watched(input_->shared->ready));
}
