#include "device_source.h"
#include "protocol.h"

namespace hiddevice {

DeviceSelection KorvidControllers() {
  DeviceSelection selection;
  for (const std::uint16_t vendorId : kBootVendorIds) {
    selection.open.push_back(DeviceMatch{vendorId, kBootProductId});
    selection.watch.push_back(DeviceMatch{vendorId, kApplicationProductId});
  }
  return selection;
}

}  // namespace hiddevice
