// The device layer: where a front-end's HID devices come from.
//
// A device source finds HID devices, follows their arrival and removal, reads
// their input reports and writes their output reports. It runs entirely on
// the event loop it is given and tells its client what happened from there,
// never from inside a call the client made into it.
//
// Sources beside this interface, one per system:
//   hidraw_device_source.h       Linux hidraw character devices, found and
//                                followed through udev.
//   windows_hid_device_source.h  Windows HID interfaces, found through
//                                SetupDi, followed through device notices.
// CreateDeviceSource (hidraw_device_source_factory.cpp,
// windows_device_source_factory.cpp, one built per system) makes this
// system's.
//
// Event loops: for programs without a run loop of their own,
// poll_event_loop.h on Linux and windows_event_loop.h on Windows (named
// SystemEventLoop by system_event_loop.h in the system's folder); the
// GNUstep stand-in brings one over NSRunLoop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hiddevice {

using DeviceId = std::uint64_t;  // unique for the life of the source

struct DeviceProperties {
  std::uint32_t vendorId = 0;
  std::uint32_t productId = 0;
  std::string product;  // the device's own name
  std::string path;     // where it lives: a device node, a socket
  // The physical port it hangs on, as far as the source can tell ("" when
  // unknown): a controller that restarts comes back on the same port.
  std::string port;
  // The serial number the device gives ("" when it gives none).
  std::string serial;
};

// The loop as a source sees it. Every call back happens on that loop.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Calls `onReadable` whenever `fd` is readable or has hung up, until
  // Unwatch(fd). On Windows `fd` is a waitable handle's value and
  // "readable" is its being signalled (windows_event_loop.h).
  virtual void Watch(int fd, std::function<void()> onReadable) = 0;
  virtual void Unwatch(int fd) = 0;
  // Calls `action` once, `delayMs` from now; actions due at the same time
  // run in the order they were asked for. Pending actions are dropped when
  // the loop is destroyed.
  virtual void After(unsigned delayMs, std::function<void()> action) = 0;
};

// What a source tells about its devices.
class DeviceSourceClient {
 public:
  virtual ~DeviceSourceClient() = default;
  // An opened device: its reports flow and it may be written to.
  virtual void DeviceArrived(DeviceId device, const DeviceProperties& properties) = 0;
  // Told once per arrival, however the source learnt of it. After this the
  // id names nothing.
  virtual void DeviceRemoved(DeviceId device) = 0;
  virtual void InputReport(DeviceId device, const std::uint8_t* report, std::size_t length) = 0;

  // A device the source would have opened but could not (no permission,
  // held by another program): told once per appearance, with the reason in
  // words. The program tells the user what to do.
  virtual void DeviceUnavailable(const DeviceProperties& properties, const std::string& reason) {
    (void)properties;
    (void)reason;
  }
  // Devices that are only watched, never opened (a controller in its
  // application mode): their coming and going, by path.
  virtual void DeviceSeen(const DeviceProperties& properties) { (void)properties; }
  virtual void DeviceUnseen(const DeviceProperties& properties) { (void)properties; }
};

enum class WriteResult { Written, Gone, Failed };

// Vendor and product identifiers a source looks for.
struct DeviceMatch {
  std::uint16_t vendorId;
  std::uint16_t productId;
};

struct DeviceSelection {
  std::vector<DeviceMatch> open;   // opened, read and written
  std::vector<DeviceMatch> watch;  // only seen coming and going
  // Likewise, but of their USB device only the interface that carries the
  // controller's update reports (another with the same ids is not seen).
  std::vector<DeviceMatch> watchUpdateInterface;
  // When set, of the devices to open only the one at this path (or another
  // name of it) is opened; the rest are left alone.
  std::string onlyPath;
  // When set, likewise only the one on this USB port ("1-2.3").
  std::string onlyPortPath;
};

// The port as people name it: the USB bus and the hub ports down to the
// device ("1-2.3", the last part of `port`); "" when the port is unknown.
inline std::string PortPath(const DeviceProperties& properties) {
  return properties.port.substr(properties.port.rfind('/') + 1);
}

// Korvid controllers: in BOOT mode to be updated, in their application mode
// to confirm that an update took.
DeviceSelection KorvidControllers();

class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  // Starts following devices; those present already arrive from the loop.
  virtual void Start() = 0;
  // One output report (count byte first, 64 bytes), written before this
  // returns; Failed once about a second has gone without the device taking
  // it (a device that stops reading).
  virtual WriteResult WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) = 0;
};

// The source of this system's devices (hidraw on Linux, the HID class
// driver's interfaces on Windows). Stopped and closed when
// destroyed, without removal calls.
std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client);
std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client,
                                                 const DeviceSelection& selection);

}  // namespace hiddevice
