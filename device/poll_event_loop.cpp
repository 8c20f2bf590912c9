#include "poll_event_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

namespace hiddevice {

namespace {

// The self-pipe that turns a signal into a readable descriptor: the handler
// writes the signal's number, the loop reads it. One per process, as
// signals are.
int g_signalPipe[2] = {-1, -1};
std::atomic<int> g_pendingSignal{0};

void NoteSignal(int signal) {
  const int saved = errno;
  g_pendingSignal.store(signal);
  const unsigned char byte = static_cast<unsigned char>(signal);
  if (g_signalPipe[1] >= 0) (void)!write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

bool OpenSignalPipe() {
  if (g_signalPipe[0] >= 0) return true;
  return pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

void DrainSignalPipe() {
  unsigned char bytes[64];
  while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
  }
}

std::uint64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace

PollEventLoop::PollEventLoop() { OpenSignalPipe(); }

PollEventLoop::~PollEventLoop() = default;

void PollEventLoop::Watch(int fd, std::function<void()> onReadable) {
  handlers_[fd] = std::make_shared<std::function<void()>>(std::move(onReadable));
}

void PollEventLoop::Unwatch(int fd) { handlers_.erase(fd); }

void PollEventLoop::After(unsigned delayMs, std::function<void()> action) {
  timers_.Add(NowMs(), delayMs, std::move(action));
}

bool PollEventLoop::StopOnSignal(int signal) {
  if (!OpenSignalPipe()) return false;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(signal, &action, nullptr) == 0;
}

void PollEventLoop::Stop() { stopped_ = true; }

int PollEventLoop::WaitTimeoutMs() const {
  const std::optional<std::uint64_t> wait = timers_.MsUntilNext(NowMs());
  return wait ? static_cast<int>(std::min<std::uint64_t>(*wait, INT_MAX)) : -1;
}

int PollEventLoop::Run() {
  stopped_ = false;
  for (;;) {
    const int signal = g_pendingSignal.exchange(0);
    if (signal != 0) {
      DrainSignalPipe();
      return signal;
    }
    if (stopped_) return 0;

    fds_.clear();
    fds_.push_back(pollfd{g_signalPipe[0], POLLIN, 0});
    for (const auto& entry : handlers_) fds_.push_back(pollfd{entry.first, POLLIN, 0});
    const int ready = poll(fds_.data(), fds_.size(), WaitTimeoutMs());
    if (ready < 0 && errno != EINTR) return 0;
    if (ready > 0) {
      for (std::size_t i = 1; i < fds_.size() && !stopped_ && g_pendingSignal.load() == 0; ++i) {
        if (fds_[i].revents == 0) continue;
        // A handler may unwatch any descriptor, its own included.
        const auto found = handlers_.find(fds_[i].fd);
        if (found == handlers_.end()) continue;
        const std::shared_ptr<std::function<void()>> handler = found->second;
        (*handler)();
      }
    }
    if (!stopped_) timers_.RunDue(NowMs(), stopped_);
  }
}

}  // namespace hiddevice
