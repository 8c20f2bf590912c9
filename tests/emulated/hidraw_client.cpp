#include "hidraw_client.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol.h"
#include "unix_control_channel.h"

namespace {

std::string Property(struct udev_device* device, const char* name) {
  const char* value = device != nullptr ? udev_device_get_property_value(device, name) : nullptr;
  return value != nullptr ? value : "";
}

std::string Text(const char* value) { return value != nullptr ? value : ""; }

HidrawEntry Describe(struct udev_device* device) {
  HidrawEntry entry;
  const char* devnode = udev_device_get_devnode(device);
  entry.devnode = devnode != nullptr ? devnode : "";
  entry.syspath = udev_device_get_syspath(device);
  const dev_t number = udev_device_get_devnum(device);
  entry.major = major(number);
  entry.minor = minor(number);
  struct udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
  entry.hidId = Property(hid, "HID_ID");
  entry.hidName = Property(hid, "HID_NAME");
  entry.hidPhys = Property(hid, "HID_PHYS");
  entry.hidUniq = Property(hid, "HID_UNIQ");
  entry.idPath = Property(device, "ID_PATH");
  struct udev_device* interface = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
  if (interface != nullptr) {
    entry.interfaceSyspath = udev_device_get_syspath(interface);
    entry.interfaceDevtype = Text(udev_device_get_devtype(interface));
  }
  struct udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
  if (usb != nullptr) {
    entry.usbSyspath = udev_device_get_syspath(usb);
    entry.usbDevtype = Text(udev_device_get_devtype(usb));
    for (const char* name :
         {"busnum", "devnum", "devpath", "idVendor", "idProduct", "manufacturer", "product", "serial"}) {
      const char* value = udev_device_get_sysattr_value(usb, name);
      if (value != nullptr) entry.usbAttributes.emplace_back(name, value);
    }
  }
  return entry;
}

Report Message(std::initializer_list<uint8_t> bytes) {
  Report report{};
  report[0] = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), report.begin() + 1);
  return report;
}

}  // namespace

std::vector<HidrawEntry> ListHidraw() {
  std::vector<HidrawEntry> entries;
  struct udev* udev = udev_new();
  struct udev_enumerate* enumerate = udev_enumerate_new(udev);
  udev_enumerate_add_match_subsystem(enumerate, "hidraw");
  udev_enumerate_scan_devices(enumerate);
  struct udev_list_entry* item;
  udev_list_entry_foreach(item, udev_enumerate_get_list_entry(enumerate)) {
    struct udev_device* device = udev_device_new_from_syspath(udev, udev_list_entry_get_name(item));
    if (device == nullptr) continue;
    entries.push_back(Describe(device));
    udev_device_unref(device);
  }
  udev_enumerate_unref(enumerate);
  udev_unref(udev);
  std::sort(entries.begin(), entries.end(),
            [](const HidrawEntry& a, const HidrawEntry& b) { return a.minor < b.minor; });
  return entries;
}

std::optional<HidrawEntry> HidrawByDevnum(unsigned majorNumber, unsigned minorNumber) {
  struct udev* udev = udev_new();
  struct udev_device* device = udev_device_new_from_devnum(udev, 'c', makedev(majorNumber, minorNumber));
  std::optional<HidrawEntry> entry;
  if (device != nullptr) {
    entry = Describe(device);
    udev_device_unref(device);
  }
  udev_unref(udev);
  return entry;
}

HidrawMonitor::HidrawMonitor() : udev_(udev_new()) {
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr) return;
  udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
  if (udev_monitor_enable_receiving(monitor_) < 0) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
  }
}

HidrawMonitor::~HidrawMonitor() {
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  udev_unref(udev_);
}

std::optional<HidrawEvent> HidrawMonitor::Next(int timeoutMs) {
  if (monitor_ == nullptr) return std::nullopt;
  pollfd readable{udev_monitor_get_fd(monitor_), POLLIN, 0};
  if (poll(&readable, 1, timeoutMs) <= 0) return std::nullopt;
  struct udev_device* device = udev_monitor_receive_device(monitor_);
  if (device == nullptr) return std::nullopt;
  HidrawEvent event;
  const char* action = udev_device_get_action(device);
  event.action = action != nullptr ? action : "";
  event.device = Describe(device);
  udev_device_unref(device);
  return event;
}

HidrawFile::HidrawFile(const std::string& devnode) : fd_(open(devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {
  if (fd_ < 0) openErrno_ = errno;
}

HidrawFile::~HidrawFile() {
  if (fd_ >= 0) close(fd_);
}

ssize_t HidrawFile::WriteBytes(const std::vector<uint8_t>& bytes) { return write(fd_, bytes.data(), bytes.size()); }

ssize_t HidrawFile::Write(const Report& report) {
  std::vector<uint8_t> bytes(report.size() + 1, 0x00);
  std::copy(report.begin(), report.end(), bytes.begin() + 1);
  return WriteBytes(bytes);
}

ssize_t HidrawFile::Read(uint8_t* buffer, std::size_t size) { return read(fd_, buffer, size); }

bool HidrawFile::Readable(int timeoutMs) {
  pollfd readable{fd_, POLLIN, 0};
  return poll(&readable, 1, timeoutMs) == 1 && (readable.revents & POLLIN) != 0;
}

std::optional<Report> HidrawFile::Answer(int timeoutMs) {
  if (!Readable(timeoutMs)) return std::nullopt;
  uint8_t buffer[kReportSize + 16];
  if (Read(buffer, sizeof buffer) != static_cast<ssize_t>(kReportSize)) return std::nullopt;
  Report report;
  std::memcpy(report.data(), buffer, report.size());
  return report;
}

std::string HidrawEntry::Usb(const std::string& attribute) const {
  for (const auto& [name, value] : usbAttributes)
    if (name == attribute) return value;
  return "";
}

short HidrawFile::PollEvents(int timeoutMs) {
  pollfd readable{fd_, POLLIN, 0};
  return poll(&readable, 1, timeoutMs) == 1 ? readable.revents : 0;
}

Report VersionRequest() { return Message({0x00, MSG_FIRMWARE, 0x01, 0x00, GET_FIRMWARE_VSION}); }
Report UpdateRequest() { return Message({0x00, MSG_UPDATE_REQUEST, 0x01, 0x00, 0x00}); }
Report CompletionCommand() { return Message({0x00, MSG_FIRMWARE, 0x01, 0x00, SET_FIRMWARE_COMPLETE}); }

Report HeaderCommand(uint32_t payloadSize) {
  Report report = Message({0x00, MSG_FIRMWARE, 0x1F, 0x00, SET_FIRMWARE_HEADER, 0x1C, 0x00});
  report[0] = 7 + 28;
  WriteLe32(&report[8], 0x00000064);  // file version 1.00, beta 0
  WriteLe32(&report[16], payloadSize);
  return report;
}

Report DataCommand(const uint8_t* data, std::size_t size) {
  Report report = Message(
      {0x00, MSG_FIRMWARE, static_cast<uint8_t>(size + 3), 0x00, SET_FIRMWARE_DATA, static_cast<uint8_t>(size), 0x00});
  report[0] = static_cast<uint8_t>(7 + size);
  std::memcpy(&report[8], data, size);
  return report;
}

int FirmwareEvent(const Report& report) {
  if (report[0] < 5 || report[1] != 0x00 || report[2] != MSG_FIRMWARE) return -1;
  return report[5];
}

std::string StatusField(const std::string& line, const std::string& key) {
  const std::string padded = " " + line + " ";
  const std::size_t at = padded.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const std::size_t start = at + key.size() + 2;
  return padded.substr(start, padded.find(' ', start) - start);
}

std::string Control(const std::string& command) {
  const char* path = std::getenv("KORVID_EMULATOR_CONTROL");
  if (path == nullptr) return "no reply: KORVID_EMULATOR_CONTROL is not set";
  std::string reply;
  std::string error;
  if (!SendControlCommand(path, command, kEventTimeoutMs, reply, error)) return "no reply: " + error;
  return reply;
}
