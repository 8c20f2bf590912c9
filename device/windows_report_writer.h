// Output reports to a HID interface that are written, or given up, within a
// bound, for the Windows device source.
//
// Wine's WriteFile to a HID device does not return while the device holds
// the write (about five seconds, until the write fails), overlapped or not,
// and its CancelIo waits as long. The write therefore runs on a thread of
// its own while the caller waits at most the bound; there the write is
// cancelled once the bound has passed, and every write asked for until it
// has let go fails at once. The writer owns its handle and closes it on its
// thread once no write of it is in flight.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "write_thread.h"

namespace hiddevice {

class ReportWriter {
 public:
  enum class Result { Written, Gone, Failed };

  // Takes `device`, opened for overlapped writes. The writer never waits
  // when it goes: its thread closes the handle once no write is in flight.
  explicit ReportWriter(HANDLE device);

  static constexpr std::size_t kMaxBytes = WriteThread::kMaxBytes;
  Result Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs);
  // The system's error of the last write that failed.
  DWORD LastError() const { return lastError_; }

 private:
  // `written`: the event of the overlapped writes, the thread's to close.
  ReportWriter(HANDLE device, HANDLE written);
  WriteThread thread_;
  DWORD lastError_ = 0;
};

}  // namespace hiddevice
