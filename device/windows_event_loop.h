// An event loop for Windows programs without a run loop of their own (the
// command line): it waits on handles, timers and the thread's window
// messages at once, so that a device source's message-only window gets its
// device notices while the loop waits. Single-threaded: every call but the
// console's stop is made on the thread that runs the loop.
//
// Watch() takes a waitable handle's value for the descriptor: kernel handles
// carry 32 significant bits, so the value fits the interface's int. Watched
// handles are manual-reset events, or objects that stay signalled until
// their handler acts: the loop looks at every watched handle after a wake
// without changing it, and calls the handler of each one signalled.
// At most kMaxWatched handles at a time (the system's wait takes 64 with
// the loop's own).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "device_source.h"
#include "timer_queue.h"

namespace hiddevice {

class WindowsEventLoop final : public EventLoop {
 public:
  static constexpr std::size_t kMaxWatched = 62;

  WindowsEventLoop();
  ~WindowsEventLoop() override;
  WindowsEventLoop(const WindowsEventLoop&) = delete;
  WindowsEventLoop& operator=(const WindowsEventLoop&) = delete;

  void Watch(int handle, std::function<void()> onSignalled) override;
  void Unwatch(int handle) override;
  void After(unsigned delayMs, std::function<void()> action) override;

  // Serves handles, messages and timers until Stop() or a stop asked for
  // below ends it; returns that signal's number, 0 after Stop().
  int Run();
  void Stop();

  // From now on the console's stop ends Run(): SIGINT stands for Ctrl-C and
  // Ctrl-Break, SIGTERM for the console's closing, logoff and shutdown. A
  // stop that came before Run() is reported by the next Run().
  static bool StopOnSignal(int signal);

  // A parent that starts this program with no console to share (a console
  // carries its Ctrl-C) stands in for it: it puts the value of an inherited
  // event in this variable, and its signalling is this program's Ctrl-C.
  static constexpr wchar_t kParentStopVariable[] = L"KORVID_PARENT_STOP";

 private:
  unsigned long WaitTimeoutMs() const;
  void ServeSignalled(std::size_t from);
  void DispatchMessages();

  std::map<int, std::shared_ptr<std::function<void()>>> handlers_;
  TimerQueue timers_;
  std::vector<void*> waited_;
  bool stopped_ = false;
};

}  // namespace hiddevice
