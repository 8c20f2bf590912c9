// The timers of an event loop: actions due at a time on the loop's own
// clock, run in the order they fall due (those due at once in the order
// they were asked for). The loops differ in their clock and their wait;
// this is the part they share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace hiddevice {

class TimerQueue {
 public:
  void Add(std::uint64_t nowMs, unsigned delayMs, std::function<void()> action);

  // How long the loop may wait for the next action; none when none is asked for.
  std::optional<std::uint64_t> MsUntilNext(std::uint64_t nowMs) const;

  // Runs the actions due at `nowMs`. Only those: an action that asks for
  // another at delay 0 gets it on the loop's next turn, after the loop's
  // other work. Once `stopped` is set, the rest are kept for a later turn.
  void RunDue(std::uint64_t nowMs, const bool& stopped);

 private:
  struct Timer {
    std::uint64_t dueMs;
    std::uint64_t order;
    std::function<void()> action;
  };
  std::vector<Timer> timers_;  // unsorted; few at a time
  std::uint64_t nextOrder_ = 0;
};

}  // namespace hiddevice
