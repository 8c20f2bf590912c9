// Linux hidraw devices, found and followed through udev.
//
// A node is judged by its HID device's HID_ID (bus, vendor, product) before
// it is opened, so only the devices asked for are ever opened; once open,
// HIDIOCGRAWINFO confirms the judgement and HIDIOCGRAWNAME names the device.
// Arrival and removal come from a udev monitor watched on the event loop.
// A device counts as removed on its udev "remove" event, on ENODEV, EIO,
// ESHUTDOWN or EPROTO from a read or write, or on a hang-up, whichever comes
// first: its client hears of it once.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "bounded_writer.h"
#include "device_source.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace hiddevice {

class HidrawDeviceSource final : public DeviceSource {
 public:
  HidrawDeviceSource(EventLoop& loop, DeviceSourceClient& client, DeviceSelection selection);
  ~HidrawDeviceSource() override;
  HidrawDeviceSource(const HidrawDeviceSource&) = delete;
  HidrawDeviceSource& operator=(const HidrawDeviceSource&) = delete;

  void Start() override;
  // Report ID 0, then the 64 report bytes; a write the device has not taken
  // within a second has failed.
  WriteResult WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) override;

 private:
  struct OpenDevice {
    int fd = -1;
    std::string syspath;
    std::unique_ptr<BoundedWriter> writer;
  };

  void Scan();
  void OnMonitorEvent();
  void Consider(udev_device* device, bool retryUnavailable);
  void Open(const DeviceProperties& properties, const std::string& syspath, bool tellUnavailable);
  void OnReadable(DeviceId device);
  void Remove(DeviceId device);
  void Forget(const std::string& syspath);

  EventLoop& loop_;
  DeviceSourceClient& client_;
  const DeviceSelection selection_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  int monitorFd_ = -1;
  DeviceId nextId_ = 1;
  std::map<DeviceId, OpenDevice> open_;
  std::map<std::string, DeviceProperties> seen_;  // watched only, by syspath
  std::set<std::string> unavailable_;             // told so once, until they go
  // Cleared when the source goes, so that deferred work finds nothing to do.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace hiddevice
