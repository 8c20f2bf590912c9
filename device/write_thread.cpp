#include "write_thread.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace hiddevice {

struct WriteThread::Shared {
  std::mutex lock;
  std::condition_variable changed;
  WriteFunction write;
  std::function<void()> close;
  std::uint8_t bytes[kMaxBytes];
  std::size_t size = 0;
  unsigned timeoutMs = 0;
  bool requested = false;  // a write waits for the thread
  bool busy = false;       // the thread is in the system with it
  bool done = false;       // its result is in
  unsigned long error = 0;
  bool quit = false;
};

WriteThread::WriteThread(WriteFunction write, std::function<void()> close) : shared_(new Shared) {
  shared_->write = std::move(write);
  shared_->close = std::move(close);
  std::thread(&WriteThread::Serve, shared_).detach();
}

WriteThread::~WriteThread() {
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->quit = true;
  }
  shared_->changed.notify_all();
}

void WriteThread::Serve(Shared* shared) {
  std::unique_lock<std::mutex> hold(shared->lock);
  for (;;) {
    shared->changed.wait(hold, [shared] { return shared->requested || shared->quit; });
    if (!shared->requested) break;
    shared->requested = false;
    shared->busy = true;
    std::uint8_t bytes[kMaxBytes];
    const std::size_t size = shared->size;
    const unsigned timeoutMs = shared->timeoutMs;
    std::memcpy(bytes, shared->bytes, size);
    hold.unlock();

    const unsigned long error = shared->write(bytes, size, timeoutMs);

    hold.lock();
    shared->busy = false;
    shared->done = true;
    shared->error = error;
    shared->changed.notify_all();
  }
  hold.unlock();
  if (shared->close) shared->close();
  delete shared;
}

std::optional<unsigned long> WriteThread::Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) {
  if (size > kMaxBytes) size = kMaxBytes;
  std::unique_lock<std::mutex> hold(shared_->lock);
  if (shared_->busy || shared_->requested) return std::nullopt;  // an earlier write is still in flight
  std::memcpy(shared_->bytes, bytes, size);
  shared_->size = size;
  shared_->timeoutMs = timeoutMs;
  shared_->done = false;
  shared_->requested = true;
  shared_->changed.notify_all();
  if (!shared_->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return shared_->done; }))
    return std::nullopt;
  shared_->done = false;
  return shared_->error;
}

}  // namespace hiddevice
