// How a simulated HID device is reached over a Unix domain socket: the
// contract between the controller server's Unix link and the device source
// of the IOKit stand-in that the macOS application runs against here.
//
//   * Every device is one SOCK_SEQPACKET socket, a file named "<name>.hid" in
//     the device folder: $KORVID_HID_DIR, or /tmp/korvid-hid-<uid> when unset.
//     The device is attached while the file exists and accepts connections;
//     it appears when the file appears and is removed when it goes away
//     (the server also closes every connection then).
//   * On connecting, the first packet from the server describes the device:
//     "KORVID-HID 1\nVendorID=<decimal>\nProductID=<decimal>\nProduct=<text>\n".
//   * Every later packet from the server is one input report of 64 bytes
//     (report ID 0, not sent); each connection gets every input report.
//   * Every packet from the client is one output report of 64 bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace unixhid {

constexpr char kDirEnvironment[] = "KORVID_HID_DIR";
constexpr char kSuffix[] = ".hid";
constexpr char kMagic[] = "KORVID-HID 1";
constexpr std::size_t kReportBytes = 64;
constexpr std::size_t kMaxDescriptorBytes = 512;

inline std::string DeviceDir() {
  const char* dir = std::getenv(kDirEnvironment);
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp/korvid-hid-" + std::to_string(static_cast<unsigned long>(getuid()));
}

struct Descriptor {
  uint32_t vendorId = 0;
  uint32_t productId = 0;
  std::string product;
};

inline std::string FormatDescriptor(const Descriptor& descriptor) {
  return std::string(kMagic) + "\nVendorID=" + std::to_string(descriptor.vendorId) +
         "\nProductID=" + std::to_string(descriptor.productId) + "\nProduct=" + descriptor.product + "\n";
}

// False when the packet is not a descriptor of this protocol.
inline bool ParseDescriptor(const std::string& packet, Descriptor& descriptor) {
  const std::string magic = std::string(kMagic) + "\n";
  if (packet.compare(0, magic.size(), magic) != 0) return false;
  Descriptor parsed;
  bool vendor = false;
  bool product = false;
  std::size_t at = magic.size();
  while (at < packet.size()) {
    std::size_t end = packet.find('\n', at);
    if (end == std::string::npos) end = packet.size();
    const std::string line = packet.substr(at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      const std::string key = line.substr(0, equals);
      const std::string value = line.substr(equals + 1);
      if (key == "VendorID") {
        parsed.vendorId = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        vendor = true;
      } else if (key == "ProductID") {
        parsed.productId = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        product = true;
      } else if (key == "Product") {
        parsed.product = value;
      }
    }
    at = end + 1;
  }
  if (!vendor || !product) return false;
  descriptor = parsed;
  return true;
}

}  // namespace unixhid
