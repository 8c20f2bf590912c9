#include "timer_queue.h"

#include <algorithm>

namespace hiddevice {

void TimerQueue::Add(std::uint64_t nowMs, unsigned delayMs, std::function<void()> action) {
  timers_.push_back(Timer{nowMs + delayMs, nextOrder_++, std::move(action)});
}

std::optional<std::uint64_t> TimerQueue::MsUntilNext(std::uint64_t nowMs) const {
  if (timers_.empty()) return std::nullopt;
  std::uint64_t due = UINT64_MAX;
  for (const Timer& timer : timers_) due = std::min(due, timer.dueMs);
  return due <= nowMs ? 0 : due - nowMs;
}

void TimerQueue::RunDue(std::uint64_t nowMs, const bool& stopped) {
  std::vector<Timer> due;
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->dueMs <= nowMs) {
      due.push_back(std::move(*it));
      it = timers_.erase(it);
    } else {
      ++it;
    }
  }
  std::sort(due.begin(), due.end(),
            [](const Timer& a, const Timer& b) { return a.dueMs != b.dueMs ? a.dueMs < b.dueMs : a.order < b.order; });
  for (Timer& timer : due) {
    if (stopped) {
      timers_.push_back(std::move(timer));
      continue;
    }
    timer.action();
  }
}

}  // namespace hiddevice
