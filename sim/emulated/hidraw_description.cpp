#include "hidraw_description.h"

#include <cstdio>

namespace {

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (uint8_t byte : bytes) text += Format("%02X", byte);
  return text;
}

// udev's ID_PATH_TAG: the path with every character but letters, digits and
// '-' turned into '_'.
std::string PathTag(const std::string& path) {
  std::string tag = path;
  for (char& c : tag)
    if (c == ':' || c == '.') c = '_';
  return tag;
}

constexpr const char kHostController[] = "/devices/pci0000:00/0000:00:14.0";

}  // namespace

const ReportDescriptor& ControllerReportDescriptor() {
  static const ReportDescriptor descriptor{{
                                               0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
                                               0x09, 0x01,        // Usage (1)
                                               0xA1, 0x01,        // Collection (Application)
                                               0x09, 0x02,        //   Usage (2)
                                               0x15, 0x00,        //   Logical Minimum (0)
                                               0x26, 0xFF, 0x00,  //   Logical Maximum (255)
                                               0x75, 0x08,        //   Report Size (8)
                                               0x95, 0x40,        //   Report Count (64)
                                               0x81, 0x02,        //   Input (Data, Variable, Absolute)
                                               0x09, 0x03,        //   Usage (3)
                                               0x91, 0x02,        //   Output (Data, Variable, Absolute)
                                               0xC0,              // End Collection
                                           },
                                           64};
  return descriptor;
}

const ReportDescriptor& KeyboardReportDescriptor() {
  static const ReportDescriptor descriptor{{
                                               0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,  // Generic Desktop, Keyboard
                                               0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,  // modifier keys
                                               0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95,
                                               0x01, 0x75, 0x08, 0x81, 0x01,        // reserved byte
                                               0x95, 0x05, 0x75, 0x01, 0x05, 0x08,  // LEDs
                                               0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  //
                                               0x95, 0x01, 0x75, 0x03, 0x91, 0x01,  // LED padding
                                               0x95, 0x06, 0x75, 0x08, 0x15, 0x00,  // six key codes
                                               0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
                                           },
                                           8,
                                           1,
                                           1};
  return descriptor;
}

DeviceDescription DescribeDevice(const DeviceSpec& spec, const DevicePlacement& placement) {
  const unsigned bus = static_cast<unsigned>(spec.bus);
  DeviceDescription description;
  description.name = spec.manufacturer.empty() ? spec.product : spec.manufacturer + " " + spec.product;
  std::string& text = description.text;
  const bool usb = spec.bus == HidBus::Usb;
  const std::size_t interfaces = usb ? spec.interfaces.size() : 1;
  const unsigned port = placement.port;
  const std::string usbId = Format("%x/%x/%x", spec.vendorId, spec.productId, 0x100);

  std::string usbPath;
  if (usb) {
    usbPath = std::string(kHostController) + Format("/usb1/1-%u", port);
    description.usbSyspath = "/sys" + usbPath;
    text += "P: " + usbPath + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    text += "E: PRODUCT=" + usbId + "\nE: TYPE=0/0/0\n";
    text += Format("E: BUSNUM=001\nE: DEVNUM=%03u\n", placement.devnum);
    text += Format("A: busnum=1\nA: devnum=%u\nA: devpath=%u\n", placement.devnum, port);
    text += Format("A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\n", spec.vendorId, spec.productId);
    if (!spec.manufacturer.empty()) text += "A: manufacturer=" + spec.manufacturer + "\n";
    text += "A: product=" + spec.product + "\n";
    if (!spec.serial.empty()) text += "A: serial=" + spec.serial + "\n";
    text += Format("A: bNumInterfaces=%2u\n", static_cast<unsigned>(interfaces));
    text += "A: bConfigurationValue=1\nA: bDeviceClass=00\nA: speed=12\nA: maxchild=0\n\n";
  }

  for (std::size_t i = 0; i < interfaces; ++i) {
    const ReportDescriptor& report = *spec.interfaces[i];
    const unsigned number = static_cast<unsigned>(i);
    HidrawDescription node;
    std::string parent;
    std::string idPath;
    if (usb) {
      parent = usbPath + Format("/1-%u:1.%u", port, number);
      node.interfaceSyspath = "/sys" + parent;
      node.phys = Format("usb-0000:00:14.0-%u/input%u", port, number);
      idPath = Format("pci-0000:00:14.0-usb-0:%u:1.%u", port, number);
      text += "P: " + parent + "\n";
      text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n";
      text += "E: PRODUCT=" + usbId + "\nE: TYPE=0/0/0\n";
      text += Format("E: INTERFACE=3/%u/%u\n", report.interfaceSubClass, report.interfaceProtocol);
      text += Format("E: MODALIAS=usb:v%04Xp%04Xd0100dc00dsc00dp00", spec.vendorId, spec.productId) +
              Format("ic03isc%02Xip%02Xin%02X\n", report.interfaceSubClass, report.interfaceProtocol, number);
      text += Format("A: bInterfaceNumber=%02x\nA: bInterfaceClass=03\n", number);
      text += Format("A: bInterfaceSubClass=%02x\nA: bInterfaceProtocol=%02x\n", report.interfaceSubClass,
                     report.interfaceProtocol);
      text += "A: bNumEndpoints=02\nA: bAlternateSetting= 0\n\n";
    } else {
      parent = "/devices/virtual/misc/uhid";
      node.phys = Format("02:00:00:00:00:%02x", port & 0xFF);
    }
    const std::string hidName =
        Format("%04X:%04X:%04X.%04X", bus, spec.vendorId, spec.productId, placement.hidSequences[i]);
    const std::string hidPath = parent + "/" + hidName;
    const std::string minor = std::to_string(placement.minors[i]);
    node.hidSyspath = "/sys" + hidPath;
    node.hidrawSyspath = node.hidSyspath + "/hidraw/hidraw" + minor;
    node.devnode = "/dev/hidraw" + minor;

    text += "P: " + hidPath + "\n";
    text += "E: SUBSYSTEM=hid\n";
    text += "E: DRIVER=hid-generic\n";
    text += "E: HID_ID=" + Format("%04X:%08X:%08X", bus, spec.vendorId, spec.productId) + "\n";
    text += "E: HID_NAME=" + description.name + "\n";
    text += "E: HID_PHYS=" + node.phys + "\n";
    text += "E: HID_UNIQ=" + spec.serial + "\n";
    text += "E: MODALIAS=" + Format("hid:b%04Xg0001v%08Xp%08X", bus, spec.vendorId, spec.productId) + "\n";
    text += "H: report_descriptor=" + Hex(report.bytes) + "\n";
    text += "\n";
    text += "P: " + hidPath + "/hidraw/hidraw" + minor + "\n";
    text += "N: hidraw" + minor + "\n";
    text += "E: SUBSYSTEM=hidraw\n";
    text += "E: DEVNAME=" + node.devnode + "\n";
    // Without MAJOR and MINOR, udev_device_new_from_devnum finds nothing.
    text += "E: MAJOR=" + std::to_string(kHidrawMajor) + "\n";
    text += "E: MINOR=" + minor + "\n";
    if (!idPath.empty()) text += "E: ID_PATH=" + idPath + "\nE: ID_PATH_TAG=" + PathTag(idPath) + "\n";
    text += "A: dev=" + std::to_string(kHidrawMajor) + ":" + minor + "\n";
    text += "L: device=../../../" + hidName + "\n";
    text += "\n";
    description.nodes.push_back(node);
  }
  return description;
}
