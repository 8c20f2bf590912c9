#include "device_source.h"
#include "hidraw_device_source.h"
#include "udev_hidraw.h"

namespace hiddevice {

std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client,
                                                 const DeviceSelection& selection) {
  return std::make_unique<HidrawDeviceSource>(
      loop, client, selection,
      UdevDaemonRunning() ? HidrawDeviceSource::Uevents::FromUdev : HidrawDeviceSource::Uevents::FromKernel);
}

std::unique_ptr<DeviceSource> CreateDeviceSource(EventLoop& loop, DeviceSourceClient& client) {
  return CreateDeviceSource(loop, client, KorvidControllers());
}

}  // namespace hiddevice
