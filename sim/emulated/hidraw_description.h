// How one emulated HID device looks to udev: a HID parent carrying the ids
// and name, with a hidraw node below it, written as umockdev's textual
// device description.
#pragma once

#include <cstdint>
#include <string>

// Kernel bus numbers as HID_ID and HIDIOCGRAWINFO give them.
enum class HidBus : uint16_t {
  Usb = 0x0003,
  Bluetooth = 0x0005,
};

struct HidIdentity {
  HidBus bus = HidBus::Usb;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string name;
};

// Where the kernel would put the device: which port it is plugged into, the
// running number it gives each HID device, and the hidraw minor.
struct HidPlacement {
  unsigned port = 1;
  unsigned hidSequence = 1;
  unsigned minor = 0;
};

struct HidrawDescription {
  std::string hidSyspath;     // /sys/devices/.../0003:2DC8:5750.0001
  std::string hidrawSyspath;  // <hidSyspath>/hidraw/hidraw0
  std::string devnode;        // /dev/hidraw0
  std::string phys;           // HID_PHYS, also what HIDIOCGRAWPHYS answers
  std::string text;           // for umockdev_testbed_add_from_string
};

constexpr unsigned kHidrawMajor = 241;

HidrawDescription DescribeHidraw(const HidIdentity& identity, const HidPlacement& placement);
