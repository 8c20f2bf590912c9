// One write at a time on a thread of its own, for a caller who waits at
// most a bound: the systems' HID writes may not return for seconds when the
// device takes nothing (hidraw's write goes to the device before it
// returns; Wine's WriteFile and CancelIo wait as long). A write given up
// keeps the thread until the system lets go, and every write asked for
// meanwhile fails at once. The system's write and close are the caller's;
// both run on the thread, so that a close never waits on the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace hiddevice {

class WriteThread {
 public:
  static constexpr std::size_t kMaxBytes = 1024;
  // The system's error, 0 when the bytes went out whole. It may take the
  // bound too, to cancel its own write.
  using WriteFunction = std::function<unsigned long(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs)>;

  // `close` runs on the thread once no write is in flight and the writer is gone.
  WriteThread(WriteFunction write, std::function<void()> close);
  // Never waits: the thread ends on its own.
  ~WriteThread();
  WriteThread(const WriteThread&) = delete;
  WriteThread& operator=(const WriteThread&) = delete;

  // The write's error (0: written); none when it was given up at the bound
  // or an earlier write was still in flight. At most kMaxBytes are written.
  std::optional<unsigned long> Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs);

 private:
  struct Shared;
  static void Serve(Shared* shared);
  Shared* shared_;  // freed by the thread, which outlives the writer
};

}  // namespace hiddevice
