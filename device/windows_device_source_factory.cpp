#include "device_source.h"
#include "windows_hid_device_source.h"

namespace hiddevice {

std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client,
                                                 const DeviceSelection& selection) {
  return std::make_unique<WindowsHidDeviceSource>(loop, client, selection);
}

std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client) {
  return CreateDeviceSource(loop, client, KorvidControllers());
}

}  // namespace hiddevice
