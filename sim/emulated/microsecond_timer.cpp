#include "microsecond_timer.h"

#include <glib-unix.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace {

uint64_t ClockUs(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

uint64_t MonotonicUs() { return ClockUs(CLOCK_MONOTONIC); }

uint64_t MonotonicRawUs() { return ClockUs(CLOCK_MONOTONIC_RAW); }

MicrosecondTimer::MicrosecondTimer(std::function<void()> onDue)
    : onDue_(std::move(onDue)), fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (fd_ >= 0) watch_ = g_unix_fd_add(fd_, G_IO_IN, &MicrosecondTimer::OnReadable, this);
}

MicrosecondTimer::~MicrosecondTimer() {
  if (watch_ != 0) g_source_remove(watch_);
  if (fd_ >= 0) close(fd_);
}

void MicrosecondTimer::WakeAt(uint64_t monotonicUs) {
  itimerspec at{};
  // Zero would disarm the timer: a time already past is due at once.
  if (monotonicUs == 0) monotonicUs = 1;
  at.it_value.tv_sec = static_cast<time_t>(monotonicUs / 1000000u);
  at.it_value.tv_nsec = static_cast<long>(monotonicUs % 1000000u) * 1000;
  timerfd_settime(fd_, TFD_TIMER_ABSTIME, &at, nullptr);
}

void MicrosecondTimer::Cancel() {
  const itimerspec never{};
  timerfd_settime(fd_, 0, &never, nullptr);
}

gboolean MicrosecondTimer::OnReadable(gint fd, GIOCondition, gpointer self) {
  uint64_t expirations;
  ssize_t ignored = read(fd, &expirations, sizeof expirations);
  (void)ignored;
  static_cast<MicrosecondTimer*>(self)->onDue_();
  return G_SOURCE_CONTINUE;
}
