// What udev tells of a hidraw node, judged without opening it: the bus and
// identifiers of the HID device it belongs to (its HID_ID), its name and the
// port it hangs on. Reading these needs no permission on the node.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

struct udev_device;

namespace hiddevice {

constexpr std::uint16_t kBusUsb = 0x0003;

struct HidrawNode {
  std::string syspath;     // udev's name for it, also in its removal event
  std::string hidSyspath;  // its HID device's
  std::string devnode;     // /dev/hidrawN
  std::uint16_t bus = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string name;  // HID_NAME
  std::string uniq;  // HID_UNIQ: the serial number, "" when none
  std::string port;  // the USB device's syspath, "" when it has none
};

// "0003:00002DC8:00005750" -> bus 3, vendor 0x2DC8, product 0x5750.
bool ParseHidId(const char* text, std::uint16_t& bus, std::uint16_t& vendorId, std::uint16_t& productId);

// Whether a udev daemon runs: it answers on its control socket. Without
// one, a "udev" monitor hears nothing, and arrivals and removals are heard
// from the kernel.
bool UdevDaemonRunning(const char* controlSocket = "/run/udev/control");

// Nothing when the node has no HID parent with a readable HID_ID.
std::optional<HidrawNode> DescribeHidrawNode(udev_device* device);

// The syspaths of the hidraw nodes there are, read from the class directory
// of sysfs, whose entries link to the nodes: a directory read and a link per
// node, where a udev enumeration also reads each node's attributes.
// Nothing when the directory cannot be read; none when there is none.
std::optional<std::set<std::string>> ListHidrawSyspaths(const std::string& classDirectory = "/sys/class/hidraw");

}  // namespace hiddevice
