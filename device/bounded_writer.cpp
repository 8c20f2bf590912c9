#include "bounded_writer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace hiddevice {

struct BoundedWriter::Shared {
  std::mutex lock;
  std::condition_variable changed;
  int fd = -1;
  std::uint8_t bytes[kMaxBytes];
  std::size_t size = 0;
  bool requested = false;  // a write waits for the thread
  bool busy = false;       // the thread is in the kernel with it
  bool done = false;       // its result is in
  ssize_t written = 0;
  int error = 0;
  bool quit = false;
};

namespace {

// Through usbhid the write in flight when a controller is pulled out, and
// the next, fail EPROTO before the node reports ENODEV.
bool MeansGone(int error) {
  return error == ENODEV || error == EIO || error == ESHUTDOWN || error == EPROTO || error == EPIPE;
}

}  // namespace

BoundedWriter::BoundedWriter(int fd) : shared_(new Shared) {
  shared_->fd = fd;
  std::thread(&BoundedWriter::Serve, shared_).detach();
}

BoundedWriter::~BoundedWriter() {
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->quit = true;
  }
  shared_->changed.notify_all();
}

void BoundedWriter::Serve(Shared* shared) {
  std::unique_lock<std::mutex> hold(shared->lock);
  for (;;) {
    shared->changed.wait(hold, [shared] { return shared->requested || shared->quit; });
    if (!shared->requested) break;
    shared->requested = false;
    shared->busy = true;
    const int fd = shared->fd;
    const std::size_t size = shared->size;
    std::uint8_t bytes[kMaxBytes];
    std::memcpy(bytes, shared->bytes, size);
    hold.unlock();

    ssize_t written;
    int error = 0;
    for (;;) {
      written = write(fd, bytes, size);
      if (written >= 0) break;
      error = errno;
      if (error == EINTR) continue;
      if (error != EAGAIN && error != EWOULDBLOCK) break;
      // A node opened without blocking may ask to wait for room.
      pollfd room{fd, POLLOUT, 0};
      if (poll(&room, 1, -1) < 0 && errno != EINTR) break;
    }

    hold.lock();
    shared->busy = false;
    shared->done = true;
    shared->written = written;
    shared->error = error;
    shared->changed.notify_all();
  }
  const int fd = shared->fd;
  hold.unlock();
  if (fd >= 0) close(fd);
  delete shared;
}

BoundedWriter::Result BoundedWriter::Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) {
  if (size > kMaxBytes) size = kMaxBytes;
  std::unique_lock<std::mutex> hold(shared_->lock);
  if (shared_->busy || shared_->requested) {  // an earlier write is still in the kernel
    lastError_ = ETIMEDOUT;
    return Result::Failed;
  }
  std::memcpy(shared_->bytes, bytes, size);
  shared_->size = size;
  shared_->done = false;
  shared_->requested = true;
  shared_->changed.notify_all();
  const bool finished =
      shared_->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return shared_->done; });
  if (!finished) {
    lastError_ = ETIMEDOUT;
    return Result::Failed;
  }
  shared_->done = false;
  if (shared_->written == static_cast<ssize_t>(size)) return Result::Written;
  lastError_ = shared_->written < 0 ? shared_->error : EIO;
  if (shared_->written < 0 && MeansGone(shared_->error)) return Result::Gone;
  return Result::Failed;
}

}  // namespace hiddevice
