// Writes to a device node that finish, or are given up, within a bound.
//
// A hidraw write goes to the device before it returns, however the node was
// opened, and the kernel waits seconds for a device that takes nothing. The
// write therefore runs on a thread of its own while the caller waits at most
// the bound; a write given up keeps that thread until the kernel lets go, and
// every write asked for meanwhile fails at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace hiddevice {

class BoundedWriter {
 public:
  enum class Result { Written, Gone, Failed };

  explicit BoundedWriter(int fd);
  // Waits for a write in progress only as long as the kernel takes; a
  // writer stuck in the kernel is left to end on its own.
  ~BoundedWriter();
  BoundedWriter(const BoundedWriter&) = delete;
  BoundedWriter& operator=(const BoundedWriter&) = delete;

  static constexpr std::size_t kMaxBytes = 65;
  Result Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs);
  // errno of the last write that failed, for the caller's words.
  int LastError() const { return lastError_; }

 private:
  struct Shared;
  static void Serve(Shared* shared);
  Shared* shared_;  // owned by the writer thread once detached
  std::thread thread_;
  int lastError_ = 0;
};

}  // namespace hiddevice
