#include "udev_hidraw.h"

#include <dirent.h>
#include <errno.h>
#include <libudev.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace hiddevice {

bool ParseHidId(const char* text, std::uint16_t& bus, std::uint16_t& vendorId, std::uint16_t& productId) {
  if (text == nullptr) return false;
  unsigned long fields[3];
  const char* at = text;
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    fields[i] = std::strtoul(at, &end, 16);
    if (end == at || (i < 2 && *end != ':') || (i == 2 && *end != '\0')) return false;
    at = end + 1;
  }
  // The kernel writes 32-bit fields; identifiers are 16 bits wide.
  if (fields[0] > 0xFFFF || fields[1] > 0xFFFF || fields[2] > 0xFFFF) return false;
  bus = static_cast<std::uint16_t>(fields[0]);
  vendorId = static_cast<std::uint16_t>(fields[1]);
  productId = static_cast<std::uint16_t>(fields[2]);
  return true;
}

bool UdevDaemonRunning(const char* controlSocket) {
  // The socket file outlives a daemon that was stopped or killed, so its
  // presence says little; a daemon that runs accepts the connection.
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", controlSocket);
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const int error = errno;
  close(fd);
  if (connected) return true;
  // Not ours to connect to (another user): the daemon's socket is there,
  // and libudev's own judgement is all there is.
  if (error != EACCES && error != EPERM) return false;
  udev* context = udev_new();
  if (context == nullptr) return false;
  udev_queue* queue = udev_queue_new(context);
  const bool active = queue != nullptr && udev_queue_get_udev_is_active(queue) > 0;
  if (queue != nullptr) udev_queue_unref(queue);
  udev_unref(context);
  return active;
}

std::optional<HidrawNode> DescribeHidrawNode(udev_device* device) {
  if (device == nullptr) return std::nullopt;
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
  if (hid == nullptr) return std::nullopt;
  HidrawNode node;
  if (!ParseHidId(udev_device_get_property_value(hid, "HID_ID"), node.bus, node.vendorId, node.productId))
    return std::nullopt;
  const char* syspath = udev_device_get_syspath(device);
  const char* devnode = udev_device_get_devnode(device);
  if (syspath == nullptr || devnode == nullptr) return std::nullopt;
  node.syspath = syspath;
  node.devnode = devnode;
  if (const char* hidSyspath = udev_device_get_syspath(hid)) node.hidSyspath = hidSyspath;
  if (const char* name = udev_device_get_property_value(hid, "HID_NAME")) node.name = name;
  if (const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ")) node.uniq = uniq;
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
    if (const char* port = udev_device_get_syspath(usb)) node.port = port;
  }
  return node;
}

namespace {

// "/sys/class/hidraw/../../devices/x" -> "/sys/devices/x"
std::string WithoutDotSegments(const std::string& path) {
  std::vector<std::string> kept;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string segment = path.substr(at, end - at);
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (!segment.empty() && segment != ".") {
      kept.push_back(segment);
    }
    at = end + 1;
  }
  std::string result;
  for (const std::string& segment : kept) result += "/" + segment;
  return result.empty() ? "/" : result;
}

}  // namespace

std::optional<std::set<std::string>> ListHidrawSyspaths(const std::string& classDirectory) {
  DIR* directory = opendir(classDirectory.c_str());
  // The class appears with the first node of it.
  if (directory == nullptr) return errno == ENOENT ? std::optional<std::set<std::string>>(std::set<std::string>{}) : std::nullopt;
  std::set<std::string> syspaths;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    const std::string link = classDirectory + "/" + entry->d_name;
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;  // gone meanwhile, or not a node's link
    target[length] = '\0';
    syspaths.insert(WithoutDotSegments(target[0] == '/' ? std::string(target) : classDirectory + "/" + target));
  }
  closedir(directory);
  return syspaths;
}

}  // namespace hiddevice
