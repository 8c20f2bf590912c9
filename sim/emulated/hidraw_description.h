// How one emulated device looks to udev, written as umockdev's textual
// device description: on USB the device with its port, strings and numbers,
// one interface per HID function, each with its HID device and hidraw node
// below it, as the kernel lays them out; on Bluetooth a HID device under
// uhid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Kernel bus numbers as HID_ID and HIDIOCGRAWINFO give them.
enum class HidBus : uint16_t {
  Usb = 0x0003,
  Bluetooth = 0x0005,
};

// What HIDIOCGRDESC gives, and the length of the input reports it declares:
// the kernel drops any shorter one. Neither descriptor numbers its reports.
struct ReportDescriptor {
  std::vector<uint8_t> bytes;
  std::size_t inputReportSize = 0;
  uint8_t interfaceSubClass = 0;  // USB HID boot interface: 1, else 0
  uint8_t interfaceProtocol = 0;  // keyboard 1
};

// The controller's: one vendor collection (usage page 0xFF00), 64-byte input
// and output reports.
const ReportDescriptor& ControllerReportDescriptor();
// A boot keyboard's: 8-byte input reports, a 1-byte output report (LEDs).
const ReportDescriptor& KeyboardReportDescriptor();

struct DeviceSpec {
  HidBus bus = HidBus::Usb;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  // USB strings; the HID name is "<manufacturer> <product>" as usbhid makes
  // it (the product alone without a manufacturer), the serial its HID_UNIQ.
  std::string manufacturer;
  std::string product;
  std::string serial;
  // One HID interface each (Bluetooth: the first only).
  std::vector<const ReportDescriptor*> interfaces;
};

// Where the kernel would put the device: the root port it is plugged into,
// the address the bus gives it, and per interface the running number of its
// HID device and its hidraw minor.
struct DevicePlacement {
  unsigned port = 1;
  unsigned devnum = 2;
  std::vector<unsigned> hidSequences;
  std::vector<unsigned> minors;
};

struct HidrawDescription {
  std::string hidSyspath;        // /sys/devices/.../0003:2DC8:5750.0001
  std::string hidrawSyspath;     // <hidSyspath>/hidraw/hidraw0
  std::string interfaceSyspath;  // /sys/devices/.../1-2/1-2:1.0; empty off USB
  std::string devnode;           // /dev/hidraw0
  std::string phys;              // HID_PHYS, also what HIDIOCGRAWPHYS answers
};

struct DeviceDescription {
  std::string usbSyspath;  // /sys/devices/.../usb1/1-2; empty off USB
  std::string name;        // HID_NAME, also what HIDIOCGRAWNAME answers
  std::vector<HidrawDescription> nodes;
  std::string text;  // for umockdev_testbed_add_from_string, parents first
};

constexpr unsigned kHidrawMajor = 241;

DeviceDescription DescribeDevice(const DeviceSpec& spec, const DevicePlacement& placement);
