// Writes to a device node that finish, or are given up, within a bound.
//
// A hidraw write goes to the device before it returns, however the node was
// opened, and the kernel waits seconds for a device that takes nothing. The
// write therefore runs on a thread of its own while the caller waits at most
// the bound; a write given up keeps that thread until the kernel lets go, and
// every write asked for meanwhile fails at once.
//
// The writer owns the descriptor and closes it on its thread once no write
// of it is in the kernel: hidraw's last close waits for the global lock that
// a stuck write holds, so a close on the caller's thread could stall it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "write_thread.h"

namespace hiddevice {

class BoundedWriter {
 public:
  enum class Result { Written, Gone, Failed };

  // Takes `fd`. The writer never waits when it goes: its thread closes the
  // descriptor once the kernel has let go of any write in progress.
  explicit BoundedWriter(int fd);

  static constexpr std::size_t kMaxBytes = 65;
  Result Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs);
  // errno of the last write that failed, for the caller's words.
  int LastError() const { return lastError_; }

 private:
  WriteThread thread_;
  int lastError_ = 0;
};

}  // namespace hiddevice
