#include "windows_event_loop.h"

#include <windows.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cwchar>

namespace hiddevice {

namespace {

// The console's stops come on a thread of the system's: the handler notes
// the signal and sets the event the loop also waits on. One per process,
// as the console is.
HANDLE g_stopEvent = nullptr;
std::atomic<int> g_pendingSignal{0};
std::atomic<bool> g_stopOnInterrupt{false};
std::atomic<bool> g_stopOnTerminate{false};

bool OpenStopEvent() {
  if (g_stopEvent == nullptr) g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return g_stopEvent != nullptr;
}

BOOL WINAPI NoteConsoleStop(DWORD kind) {
  int signal = 0;
  if ((kind == CTRL_C_EVENT || kind == CTRL_BREAK_EVENT) && g_stopOnInterrupt.load()) signal = SIGINT;
  if ((kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) &&
      g_stopOnTerminate.load())
    signal = SIGTERM;
  if (signal == 0) return FALSE;  // the system's default
  g_pendingSignal.store(signal);
  SetEvent(g_stopEvent);
  return TRUE;
}

void CALLBACK NoteParentStop(void*, BOOLEAN) { NoteConsoleStop(CTRL_BREAK_EVENT); }

// The parent's event, when there is one, waited on by the system's pool.
void HearParentStop() {
  wchar_t value[32];
  const DWORD length = GetEnvironmentVariableW(WindowsEventLoop::kParentStopVariable, value, 32);
  if (length == 0 || length >= 32) return;
  wchar_t* end = nullptr;
  const unsigned long long handle = std::wcstoull(value, &end, 10);
  if (*end != L'\0' || handle == 0) return;
  HANDLE wait = nullptr;
  RegisterWaitForSingleObject(&wait, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(handle)), NoteParentStop,
                              nullptr, INFINITE, WT_EXECUTEONLYONCE);
}

HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(value)); }

}  // namespace

WindowsEventLoop::WindowsEventLoop() { OpenStopEvent(); }

WindowsEventLoop::~WindowsEventLoop() = default;

void WindowsEventLoop::Watch(int handle, std::function<void()> onSignalled) {
  handlers_[handle] = std::make_shared<std::function<void()>>(std::move(onSignalled));
}

void WindowsEventLoop::Unwatch(int handle) { handlers_.erase(handle); }

void WindowsEventLoop::After(unsigned delayMs, std::function<void()> action) {
  timers_.Add(GetTickCount64(), delayMs, std::move(action));
}

bool WindowsEventLoop::StopOnSignal(int signal) {
  if (!OpenStopEvent()) return false;
  if (signal == SIGINT)
    g_stopOnInterrupt = true;
  else if (signal == SIGTERM)
    g_stopOnTerminate = true;
  else
    return false;
  static const bool installed = SetConsoleCtrlHandler(NoteConsoleStop, TRUE) != 0;
  static const bool parentHeard = (HearParentStop(), true);
  (void)parentHeard;
  return installed;
}

void WindowsEventLoop::Stop() { stopped_ = true; }

unsigned long WindowsEventLoop::WaitTimeoutMs() const {
  const std::optional<std::uint64_t> wait = timers_.MsUntilNext(GetTickCount64());
  return wait ? static_cast<DWORD>(std::min<std::uint64_t>(*wait, INFINITE - 1)) : INFINITE;
}

void WindowsEventLoop::ServeSignalled(std::size_t from) {
  // The wait names the first signalled handle only; those after it are
  // looked at too, so that a busy one cannot starve the rest.
  for (std::size_t i = from; i < waited_.size() && !stopped_ && g_pendingSignal.load() == 0; ++i) {
    if (i != from && WaitForSingleObject(waited_[i], 0) != WAIT_OBJECT_0) continue;
    // A handler may unwatch any handle, its own included.
    const auto found = handlers_.find(static_cast<int>(reinterpret_cast<INT_PTR>(waited_[i])));
    if (found == handlers_.end()) continue;
    const std::shared_ptr<std::function<void()>> handler = found->second;
    (*handler)();
  }
}

void WindowsEventLoop::DispatchMessages() {
  MSG message;
  while (!stopped_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

int WindowsEventLoop::Run() {
  stopped_ = false;
  for (;;) {
    const int signal = g_pendingSignal.exchange(0);
    if (signal != 0) {
      ResetEvent(g_stopEvent);
      return signal;
    }
    if (stopped_) return 0;

    waited_.clear();
    waited_.push_back(g_stopEvent);
    for (const auto& entry : handlers_) {
      if (waited_.size() > kMaxWatched) break;
      waited_.push_back(AsHandle(entry.first));
    }
    const DWORD count = static_cast<DWORD>(waited_.size());
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(count, waited_.data(), WaitTimeoutMs(), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_FAILED) return 0;
    if (woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + count) ServeSignalled(woke - WAIT_OBJECT_0);
    // Every turn, so that handles always signalled cannot hold up the
    // device notices.
    DispatchMessages();
    if (!stopped_) timers_.RunDue(GetTickCount64(), stopped_);
  }
}

}  // namespace hiddevice
