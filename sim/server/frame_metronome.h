// Wakes the server's loop at a given moment, to the microsecond, for the
// paced controller's frame boundaries. Wine rounds every wait up to whole
// milliseconds, and a loop that polled its handles until the boundary would
// flood the wineserver with requests, slowing the very round trips it paces.
// So the loop waits on its handles and on this metronome's event, and the
// metronome's own thread sleeps until shortly before the moment, then spins
// on the performance counter, yielding its core, and sets the event.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// The performance counter in microseconds: one clock for every process on
// the machine, so that a test can set the controller's moments beside its own.
class MicrosecondClock {
 public:
  MicrosecondClock() { QueryPerformanceFrequency(&frequency_); }
  uint64_t Now() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency_.QuadPart);
    return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
  }

 private:
  LARGE_INTEGER frequency_;
};

class FrameMetronome {
 public:
  static constexpr uint64_t kNever = UINT64_MAX;

  explicit FrameMetronome(const MicrosecondClock& clock);
  ~FrameMetronome();
  FrameMetronome(const FrameMetronome&) = delete;
  FrameMetronome& operator=(const FrameMetronome&) = delete;

  // The event is set once the clock reaches `atUs` (kNever: not at all).
  // A later call replaces the moment.
  void WakeAt(uint64_t atUs);
  HANDLE Event() const { return tick_; }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();

  const MicrosecondClock& clock_;
  std::atomic<uint64_t> wakeAtUs_{kNever};
  std::atomic<bool> stopping_{false};
  HANDLE rearm_ = nullptr;  // a new moment, or the end
  HANDLE tick_ = nullptr;
  HANDLE thread_ = nullptr;
};
