#include "bounded_writer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace hiddevice {

namespace {

// Through usbhid the write in flight when a controller is pulled out, and
// the next, fail EPROTO before the node reports ENODEV.
bool MeansGone(int error) {
  return error == ENODEV || error == EIO || error == ESHUTDOWN || error == EPROTO || error == EPIPE;
}

// errno of one write, 0 when it went out whole, EIO when in part.
unsigned long WriteOnce(int fd, const std::uint8_t* bytes, std::size_t size) {
  for (;;) {
    const ssize_t written = write(fd, bytes, size);
    if (written >= 0) return written == static_cast<ssize_t>(size) ? 0 : EIO;
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) return static_cast<unsigned long>(error);
    // A node opened without blocking may ask to wait for room.
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, -1) < 0 && errno != EINTR) return static_cast<unsigned long>(errno);
  }
}

}  // namespace

BoundedWriter::BoundedWriter(int fd)
    : thread_([fd](const std::uint8_t* bytes, std::size_t size, unsigned) { return WriteOnce(fd, bytes, size); },
              [fd] {
                if (fd >= 0) close(fd);
              }) {}

BoundedWriter::Result BoundedWriter::Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) {
  if (size > kMaxBytes) size = kMaxBytes;
  const std::optional<unsigned long> error = thread_.Write(bytes, size, timeoutMs);
  if (!error) {
    lastError_ = ETIMEDOUT;
    return Result::Failed;
  }
  if (*error == 0) return Result::Written;
  lastError_ = static_cast<int>(*error);
  return MeansGone(lastError_) ? Result::Gone : Result::Failed;
}

}  // namespace hiddevice
