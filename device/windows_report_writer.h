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

namespace hiddevice {

class ReportWriter {
 public:
  enum class Result { Written, Gone, Failed };

  // Takes `device`, opened for overlapped writes.
  explicit ReportWriter(HANDLE device);
  // Never waits: the thread closes the handle and ends on its own.
  ~ReportWriter();
  ReportWriter(const ReportWriter&) = delete;
  ReportWriter& operator=(const ReportWriter&) = delete;

  static constexpr std::size_t kMaxBytes = 1024;
  Result Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs);
  // The system's error of the last write that failed.
  DWORD LastError() const { return lastError_; }

 private:
  struct Shared;
  static void Serve(Shared* shared);
  Shared* shared_;  // freed by the writer thread, which outlives the writer
  DWORD lastError_ = 0;
};

}  // namespace hiddevice
