#include "hidraw_description.h"

#include <cstdio>

namespace {

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

}  // namespace

HidrawDescription DescribeHidraw(const HidIdentity& identity, const HidPlacement& placement) {
  const unsigned bus = static_cast<unsigned>(identity.bus);
  HidrawDescription description;
  // The parents a real device has above its HID device (USB interface, or the
  // Bluetooth stack's uhid) exist here only as folders: udev passes over them.
  std::string parent;
  if (identity.bus == HidBus::Bluetooth) {
    parent = "/devices/virtual/misc/uhid";
    description.phys = Format("02:00:00:00:00:%02x", placement.port & 0xFF);
  } else {
    parent = Format("/devices/pci0000:00/0000:00:14.0/usb1/1-%u/1-%u:1.0", placement.port, placement.port);
    description.phys = Format("usb-0000:00:14.0-%u/input0", placement.port);
  }
  const std::string hidName =
      Format("%04X:%04X:%04X.%04X", bus, identity.vendorId, identity.productId, placement.hidSequence);
  const std::string hidPath = parent + "/" + hidName;
  const std::string minor = std::to_string(placement.minor);
  description.hidSyspath = "/sys" + hidPath;
  description.hidrawSyspath = description.hidSyspath + "/hidraw/hidraw" + minor;
  description.devnode = "/dev/hidraw" + minor;

  std::string& text = description.text;
  text += "P: " + hidPath + "\n";
  text += "E: SUBSYSTEM=hid\n";
  text += "E: DRIVER=hid-generic\n";
  text += "E: HID_ID=" + Format("%04X:%08X:%08X", bus, identity.vendorId, identity.productId) + "\n";
  text += "E: HID_NAME=" + identity.name + "\n";
  text += "E: HID_PHYS=" + description.phys + "\n";
  text += "E: HID_UNIQ=\n";
  text += "E: MODALIAS=" + Format("hid:b%04Xg0001v%08Xp%08X", bus, identity.vendorId, identity.productId) + "\n";
  text += "\n";
  text += "P: " + hidPath + "/hidraw/hidraw" + minor + "\n";
  text += "N: hidraw" + minor + "\n";
  text += "E: SUBSYSTEM=hidraw\n";
  text += "E: DEVNAME=" + description.devnode + "\n";
  // Without MAJOR and MINOR, udev_device_new_from_devnum finds nothing.
  text += "E: MAJOR=" + std::to_string(kHidrawMajor) + "\n";
  text += "E: MINOR=" + minor + "\n";
  text += "A: dev=" + std::to_string(kHidrawMajor) + ":" + minor + "\n";
  text += "L: device=../../../" + hidName + "\n";
  return description;
}
