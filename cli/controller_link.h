// The command line's link to the controllers: its event loop, the device
// source on it, the controllers found, and the one whose reports go to the
// engine. Everything runs on the one thread that runs the loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_source.h"
#include "protocol.h"
#include "system_event_loop.h"

// The controller a command names, if any: by its device node (--device) or
// by the USB port it is plugged into (--port, "1-2.3").
struct ControllerName {
  std::optional<std::string> path;
  std::optional<std::string> portPath;
  bool Any() const { return path || portPath; }
  // "/dev/hidraw1" or "port 1-2", for what the user is told.
  std::string Words() const { return path ? *path : portPath ? "port " + *portPath : std::string(); }
};

class ControllerLink final : public hiddevice::DeviceSourceClient {
 public:
  struct Controller {
    hiddevice::DeviceId id;
    hiddevice::DeviceProperties properties;
  };
  struct Unavailable {
    hiddevice::DeviceProperties properties;
    std::string reason;
  };
  enum class Wait { Done, TimedOut, Interrupted };

  // With a controller named (its path, or another name of it; its port),
  // it is the only one opened: Controllers() then holds it alone.
  explicit ControllerLink(const ControllerName& named = {});
  ~ControllerLink() override;

  // Starts following devices and serves the loop until those present now
  // have been told.
  Wait Start();
  // Serves the loop until `done` holds, `timeoutMs` has passed (0: no
  // limit) or SIGINT/SIGTERM came; `done` is asked after everything the
  // loop delivers.
  Wait RunUntil(const std::function<bool()>& done, unsigned timeoutMs);
  // Calls `tick` with the time every `periodMs` while the loop is served.
  void Every(unsigned periodMs, std::function<void()> tick);

  // Controllers in BOOT mode that are open, in the order they came.
  const std::vector<Controller>& Controllers() const { return controllers_; }
  const std::vector<Unavailable>& UnavailableControllers() const { return unavailable_; }
  // Controllers in their application mode, as udev shows them.
  const std::vector<hiddevice::DeviceProperties>& ApplicationMode() const { return applicationMode_; }

  // The controller whose reports go to the engine from now on (0: none);
  // its removal is reported to the engine.
  void Serve(hiddevice::DeviceId id);
  hiddevice::DeviceId Served() const { return served_; }
  bool ServedGone() const { return servedGone_; }
  hiddevice::WriteResult Write(hiddevice::DeviceId id, const std::uint8_t (&report)[kReportSize]);
  // The failure event the served controller last sent (21 or 24), if any.
  std::optional<std::uint8_t> FailureEvent() const { return failureEvent_; }

  // Lets go of every device (a stopped update leaves nothing open).
  void Close();

  // The loop, for other descriptors the command watches; their handlers
  // call Wake() so that a waiting RunUntil looks again.
  hiddevice::EventLoop& Loop() { return loop_; }
  void Wake() { loop_.Stop(); }

 private:
  void DeviceArrived(hiddevice::DeviceId device, const hiddevice::DeviceProperties& properties) override;
  void DeviceRemoved(hiddevice::DeviceId device) override;
  void InputReport(hiddevice::DeviceId device, const std::uint8_t* report, std::size_t length) override;
  void DeviceUnavailable(const hiddevice::DeviceProperties& properties, const std::string& reason) override;
  void DeviceSeen(const hiddevice::DeviceProperties& properties) override;
  void DeviceUnseen(const hiddevice::DeviceProperties& properties) override;
  void Changed() { Wake(); }
  void Tick(std::uint64_t generation);

  hiddevice::SystemEventLoop loop_;
  std::unique_ptr<hiddevice::DeviceSource> source_;
  std::vector<Controller> controllers_;
  std::vector<Unavailable> unavailable_;
  std::vector<hiddevice::DeviceProperties> applicationMode_;
  hiddevice::DeviceId served_ = 0;
  bool servedGone_ = false;
  std::optional<std::uint8_t> failureEvent_;
  std::function<void()> tick_;
  unsigned tickPeriodMs_ = 0;
  std::uint64_t tickGeneration_ = 0;
  std::uint64_t timeoutGeneration_ = 0;
};

// Milliseconds on the monotonic clock, the engine's watchdog time.
std::uint64_t MonotonicMs();
