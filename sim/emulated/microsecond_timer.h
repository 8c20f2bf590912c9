// A wake-up on the main loop at an exact microsecond of CLOCK_MONOTONIC, set
// from either thread that holds the emulator's state (see CallDesk).
// GLib's own time-outs count whole milliseconds; a paced link needs its frame
// boundaries to the microsecond.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>

// Microseconds of CLOCK_MONOTONIC, the clock the timer counts.
uint64_t MonotonicUs();
// Microseconds of CLOCK_MONOTONIC_RAW, the clock of Wine's performance counter.
uint64_t MonotonicRawUs();

class MicrosecondTimer {
 public:
  explicit MicrosecondTimer(std::function<void()> onDue);
  ~MicrosecondTimer();
  MicrosecondTimer(const MicrosecondTimer&) = delete;
  MicrosecondTimer& operator=(const MicrosecondTimer&) = delete;

  bool Ready() const { return fd_ >= 0; }
  // Replaces any wake-up set before.
  void WakeAt(uint64_t monotonicUs);
  void Cancel();

 private:
  static gboolean OnReadable(gint fd, GIOCondition condition, gpointer self);

  std::function<void()> onDue_;
  int fd_ = -1;
  guint watch_ = 0;
  uint64_t armedAt_ = 0;  // 0: disarmed
};
