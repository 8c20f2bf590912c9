// An event loop over poll(2), for programs that have no run loop of their
// own (the command line). Single-threaded: every call but StopFromSignal is
// made on the thread that runs the loop.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "device_source.h"
#include "timer_queue.h"

namespace hiddevice {

class PollEventLoop final : public EventLoop {
 public:
  PollEventLoop();
  ~PollEventLoop() override;
  PollEventLoop(const PollEventLoop&) = delete;
  PollEventLoop& operator=(const PollEventLoop&) = delete;

  void Watch(int fd, std::function<void()> onReadable) override;
  void Unwatch(int fd) override;
  void After(unsigned delayMs, std::function<void()> action) override;

  // Serves descriptors and timers until Stop() or a signal asked for below
  // ends it; returns the number of that signal, 0 after Stop().
  int Run();
  void Stop();

  // From now on, `signal` ends Run() (the handler only notes it: the loop
  // returns from its wait and reports it). Signals that came before Run()
  // are reported by the next Run().
  static bool StopOnSignal(int signal);

 private:
  int WaitTimeoutMs() const;

  std::map<int, std::shared_ptr<std::function<void()>>> handlers_;
  TimerQueue timers_;
  std::vector<pollfd> fds_;
  bool stopped_ = false;
};

}  // namespace hiddevice
