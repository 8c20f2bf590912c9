#include "controller_link.h"

#include <signal.h>

#include <algorithm>
#include <chrono>

#include "engine.h"

std::uint64_t MonotonicMs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

namespace {

hiddevice::DeviceSelection SelectionFor(const ControllerName& named) {
  hiddevice::DeviceSelection selection = hiddevice::KorvidControllers();
  if (named.path) selection.onlyPath = *named.path;
  if (named.portPath) selection.onlyPortPath = *named.portPath;
  return selection;
}

}  // namespace

ControllerLink::ControllerLink(const ControllerName& named)
    : source_(hiddevice::CreateDeviceSource(loop_, *this, SelectionFor(named))) {
  hiddevice::SystemEventLoop::StopOnSignal(SIGINT);
  hiddevice::SystemEventLoop::StopOnSignal(SIGTERM);
}

ControllerLink::~ControllerLink() { Close(); }

void ControllerLink::Close() { source_.reset(); }

ControllerLink::Wait ControllerLink::Start() {
  if (!source_) return Wait::Done;
  source_->Start();
  // The source tells the devices present from the loop, before anything
  // asked for after this.
  bool told = false;
  loop_.After(0, [this, &told] {
    told = true;
    Wake();
  });
  return RunUntil([&told] { return told; }, 0);
}

ControllerLink::Wait ControllerLink::RunUntil(const std::function<bool()>& done, unsigned timeoutMs) {
  bool timedOut = false;
  const std::uint64_t generation = ++timeoutGeneration_;
  if (timeoutMs > 0) {
    loop_.After(timeoutMs, [this, generation, &timedOut] {
      if (generation != timeoutGeneration_) return;  // an earlier wait's
      timedOut = true;
      loop_.Stop();
    });
  }
  for (;;) {
    if (done()) {
      ++timeoutGeneration_;
      return Wait::Done;
    }
    if (timedOut) return Wait::TimedOut;
    if (loop_.Run() != 0) {
      ++timeoutGeneration_;
      return Wait::Interrupted;
    }
  }
}

void ControllerLink::Every(unsigned periodMs, std::function<void()> tick) {
  tick_ = std::move(tick);
  tickPeriodMs_ = periodMs;
  const std::uint64_t generation = ++tickGeneration_;
  loop_.After(periodMs, [this, generation] { Tick(generation); });
}

void ControllerLink::Tick(std::uint64_t generation) {
  if (generation != tickGeneration_ || !tick_) return;
  tick_();
  loop_.After(tickPeriodMs_, [this, generation] { Tick(generation); });
  Changed();
}

void ControllerLink::Serve(hiddevice::DeviceId id) {
  served_ = id;
  servedGone_ = false;
  failureEvent_.reset();
}

hiddevice::WriteResult ControllerLink::Write(hiddevice::DeviceId id, const std::uint8_t (&report)[kReportSize]) {
  if (!source_) return hiddevice::WriteResult::Gone;
  return source_->WriteReport(id, report, kReportSize);
}

void ControllerLink::DeviceArrived(hiddevice::DeviceId device, const hiddevice::DeviceProperties& properties) {
  controllers_.push_back(Controller{device, properties});
  unavailable_.erase(std::remove_if(unavailable_.begin(), unavailable_.end(),
                                    [&](const Unavailable& entry) { return entry.properties.path == properties.path; }),
                     unavailable_.end());
  Changed();
}

void ControllerLink::DeviceRemoved(hiddevice::DeviceId device) {
  controllers_.erase(std::remove_if(controllers_.begin(), controllers_.end(),
                                    [device](const Controller& entry) { return entry.id == device; }),
                     controllers_.end());
  if (device == served_ && !servedGone_) {
    servedGone_ = true;
    ControllerRemoved();  // a run in progress ends now, with the failure message
  }
  Changed();
}

void ControllerLink::InputReport(hiddevice::DeviceId device, const std::uint8_t* report, std::size_t length) {
  if (device != served_ || length == 0) return;
  // The report's count byte and the message after it, as every front-end
  // hands them on; a short report is padded, never read past.
  std::uint8_t padded[kReportSize] = {};
  std::copy(report, report + std::min(length, kReportSize), padded);
  const std::uint8_t* message = padded + 1;
  if (message[0] == 0x00 && message[1] == MSG_FIRMWARE &&
      (message[4] == FIRMWARE_FAIL_21 || message[4] == FIRMWARE_FAIL_24))
    failureEvent_ = message[4];
  OnDataReceived(device, PACKET_TYPE_HID, message, padded[0]);
  Changed();
}

void ControllerLink::DeviceUnavailable(const hiddevice::DeviceProperties& properties, const std::string& reason) {
  unavailable_.push_back(Unavailable{properties, reason});
  Changed();
}

void ControllerLink::DeviceSeen(const hiddevice::DeviceProperties& properties) {
  applicationMode_.push_back(properties);
  Changed();
}

void ControllerLink::DeviceUnseen(const hiddevice::DeviceProperties& properties) {
  applicationMode_.erase(
      std::remove_if(applicationMode_.begin(), applicationMode_.end(),
                     [&](const hiddevice::DeviceProperties& entry) { return entry.path == properties.path; }),
      applicationMode_.end());
  Changed();
}
