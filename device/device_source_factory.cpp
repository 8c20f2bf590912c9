#include "device_source.h"
#include "hidraw_device_source.h"
#include "protocol.h"
#include "udev_hidraw.h"

namespace hiddevice {

DeviceSelection KorvidControllers() {
  DeviceSelection selection;
  for (const std::uint16_t vendorId : kBootVendorIds) {
    selection.open.push_back(DeviceMatch{vendorId, kBootProductId});
    selection.watch.push_back(DeviceMatch{vendorId, kApplicationProductId});
  }
  return selection;
}

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
