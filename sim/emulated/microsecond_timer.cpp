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
  // Zero would disarm the timer: a time already past is due at once.
  if (monotonicUs == 0) monotonicUs = 1;
  // Asked again for the same wake-up with every call a program makes.
  if (monotonicUs == armedAt_) return;
  armedAt_ = monotonicUs;
  itimerspec at{};
  at.it_value.tv_sec = static_cast<time_t>(monotonicUs / 1000000u);
  at.it_value.tv_nsec = static_cast<long>(monotonicUs % 1000000u) * 1000;
  timerfd_settime(fd_, TFD_TIMER_ABSTIME, &at, nullptr);
}

void MicrosecondTimer::Cancel() {
  if (armedAt_ == 0) return;
  armedAt_ = 0;
  const itimerspec never{};
  timerfd_settime(fd_, 0, &never, nullptr);
}

gboolean MicrosecondTimer::OnReadable(gint fd, GIOCondition, gpointer self) {
  // Nothing to read: set again or cancelled on umockdev's thread since poll
  // saw it due.
  uint64_t expirations;
  if (read(fd, &expirations, sizeof expirations) != sizeof expirations) return G_SOURCE_CONTINUE;
  auto* timer = static_cast<MicrosecondTimer*>(self);
  timer->armedAt_ = 0;  // a timer that went off is disarmed
  timer->onDue_();
  return G_SOURCE_CONTINUE;
}
