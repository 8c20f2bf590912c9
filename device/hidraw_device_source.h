// Linux hidraw devices, found and followed through udev.
//
// A node is judged by its HID device's HID_ID (bus, vendor, product) before
// it is opened, so only the devices asked for are ever opened; once open,
// HIDIOCGRAWINFO confirms the judgement, HIDIOCGRAWNAME names the device and
// its report descriptor (from sysfs before the open, HIDIOCGRDESC after)
// tells the controller's update interface from another HID interface of the
// same USB device (a descriptor that cannot be read is taken as the
// controller's). Arrival and removal come from a netlink monitor
// watched on the event loop: udev's, or the kernel's where no udev daemon
// runs (containers, minimal systems), whose events come before any rule ran.
// Nodes that arrive later are opened, and every node is closed, off the loop
// (hidraw_open.h): the loop never waits for hidraw's global lock.
// Uevents can be missed (a burst overflows the monitor's socket buffer), so
// the nodes are also listed again every second: a node that came unheard is
// taken then, and a watched one that went unheard is let go. That listing
// reads sysfs's class directory and asks udev only of nodes it has not
// judged: it runs on the loop during a transfer, where a udev enumeration
// held the loop for milliseconds, enough to miss frames. An open
// device's removal is not judged by the listing: its reads tell.
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
#include "hidraw_open.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace hiddevice {

class HidrawDeviceSource final : public DeviceSource {
 public:
  enum class Uevents {
    FromUdev,    // after udev's rules: the node is there with its permissions
    FromKernel,  // no udev daemon: the node may not be there or ours yet
  };
  HidrawDeviceSource(EventLoop& loop, DeviceSourceClient& client, DeviceSelection selection,
                     Uevents uevents = Uevents::FromUdev);
  ~HidrawDeviceSource() override;
  HidrawDeviceSource(const HidrawDeviceSource&) = delete;
  HidrawDeviceSource& operator=(const HidrawDeviceSource&) = delete;

  void Start() override;
  // Report ID 0, then the 64 report bytes; a write the device has not taken
  // within a second has failed.
  WriteResult WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) override;

 private:
  struct OpenDevice {
    int fd = -1;  // the writer's, which closes it
    std::string syspath;
    std::unique_ptr<BoundedWriter> writer;
  };
  struct PendingOpen {
    DeviceProperties properties;
    std::string syspath;
    bool tellUnavailable = false;
  };

  // The first scan opens what is there on the loop; later ones make up for
  // missed uevents.
  void Scan();
  void Rescan();
  void ScheduleRescan();
  bool Known(const std::string& syspath) const;  // judged already: opened, being opened, watched or left alone
  static constexpr unsigned kRescanMs = 1000;
  void OnMonitorEvent();
  void Consider(udev_device* device, bool retryUnavailable);
  void OnOpened();
  void Opened(const PendingOpen& pending, OpenedNode node);
  void OnReadable(DeviceId device);
  void Remove(DeviceId device);
  void Forget(const std::string& syspath);

  EventLoop& loop_;
  DeviceSourceClient& client_;
  const DeviceSelection selection_;
  const Uevents uevents_;
  bool scanning_ = false;  // nodes present at the start are opened in the scan itself
  std::unique_ptr<NodeOpener> opener_;
  std::uint64_t nextTicket_ = 1;
  std::map<std::uint64_t, PendingOpen> pending_;  // by ticket
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  int monitorFd_ = -1;
  DeviceId nextId_ = 1;
  std::map<DeviceId, OpenDevice> open_;
  std::map<std::string, DeviceProperties> seen_;  // watched only, by syspath
  std::set<std::string> unavailable_;             // told so once, until they go
  std::set<std::string> otherInterfaces_;         // not the update interface (or not ours), until they go
  std::set<std::string> ignored_;                 // other devices, or not the one asked for, until they go
  // Cleared when the source goes, so that deferred work finds nothing to do.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace hiddevice
