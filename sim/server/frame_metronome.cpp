#include "frame_metronome.h"

namespace {

// How long before the moment the thread stops sleeping and spins: Wine's
// waits end up to a millisecond late.
constexpr uint64_t kSpinUs = 2000;

}  // namespace

FrameMetronome::FrameMetronome(const MicrosecondClock& clock) : clock_(clock) {
  rearm_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  tick_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &FrameMetronome::ThreadMain, this, 0, nullptr);
}

FrameMetronome::~FrameMetronome() {
  stopping_ = true;
  SetEvent(rearm_);
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
  }
  CloseHandle(rearm_);
  CloseHandle(tick_);
}

void FrameMetronome::WakeAt(uint64_t atUs) {
  if (wakeAtUs_.exchange(atUs) != atUs) SetEvent(rearm_);
}

DWORD WINAPI FrameMetronome::ThreadMain(void* self) {
  static_cast<FrameMetronome*>(self)->Run();
  return 0;
}

void FrameMetronome::Run() {
  while (!stopping_) {
    const uint64_t atUs = wakeAtUs_.load();
    if (atUs == kNever) {
      WaitForSingleObject(rearm_, INFINITE);
      continue;
    }
    const uint64_t nowUs = clock_.Now();
    if (atUs > nowUs + kSpinUs) {
      WaitForSingleObject(rearm_, static_cast<DWORD>((atUs - nowUs - kSpinUs) / 1000));
      continue;
    }
    // Spinning asks nothing of the wineserver: the counter is read in-process
    // and yielding is the kernel's.
    while (clock_.Now() < atUs && wakeAtUs_.load() == atUs && !stopping_) SwitchToThread();
    uint64_t expected = atUs;
    if (wakeAtUs_.compare_exchange_strong(expected, kNever)) SetEvent(tick_);
  }
}
