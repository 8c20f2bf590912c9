// Where the stand-in HID manager's devices come from.
//
// A device source finds HID devices, follows their arrival and removal, reads
// their input reports and writes their output reports. It runs entirely on
// the event loop it is given (the run loop the manager is scheduled on) and
// tells its client what happened from there. The one built now reaches
// simulated controllers over Unix sockets; a source for Linux hidraw devices
// would sit beside it behind the same interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace hidstandin {

using DeviceId = std::uint64_t;  // unique for the life of the source

struct DeviceProperties {
  std::uint32_t vendorId = 0;
  std::uint32_t productId = 0;
  std::string product;
};

// The run loop as a source sees it. Every call back happens on that loop.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Calls `onReadable` whenever `fd` is readable, until Unwatch(fd).
  virtual void Watch(int fd, std::function<void()> onReadable) = 0;
  virtual void Unwatch(int fd) = 0;
  // Calls `action` once, `delayMs` from now. Pending actions are dropped
  // when the loop is destroyed.
  virtual void After(unsigned delayMs, std::function<void()> action) = 0;
};

// What a source tells about its devices.
class DeviceSourceClient {
 public:
  virtual ~DeviceSourceClient() = default;
  virtual void DeviceArrived(DeviceId device, const DeviceProperties& properties) = 0;
  // After this the id names nothing.
  virtual void DeviceRemoved(DeviceId device) = 0;
  virtual void InputReport(DeviceId device, const std::uint8_t* report, std::size_t length) = 0;
};

enum class WriteResult { Written, Gone, Failed };

class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  // Starts following devices; those present already arrive from the loop.
  virtual void Start() = 0;
  // One output report, written before this returns; Failed once about a
  // second has gone without room for it (a device that stops reading).
  virtual WriteResult WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) = 0;
};

// The source of this platform's devices. Stopped and closed when destroyed,
// without removal calls.
std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client);

}  // namespace hidstandin
