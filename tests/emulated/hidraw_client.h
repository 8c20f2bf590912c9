// What a Linux device layer does with hidraw devices, written plainly for the
// tests that run under korvid-emulated-controller: libudev enumeration and
// monitoring, reads, writes and ioctls on a node, and the emulator's control
// channel. Every wait ends on its event; the time limits only turn a missing
// event into a failure.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "simulated_controller.h"

struct udev;
struct udev_monitor;

constexpr int kEventTimeoutMs = 5000;

struct HidrawEntry {
  std::string devnode;  // /dev/hidraw0
  std::string syspath;
  unsigned major = 0;
  unsigned minor = 0;
  // The HID parent's properties.
  std::string hidId;  // 0003:00002DC8:00005750
  std::string hidName;
  std::string hidPhys;
  std::string hidUniq;
  std::string idPath;  // the node's ID_PATH
  // The USB interface and device above the HID device ("" off USB), and the
  // device's attributes by name.
  std::string interfaceSyspath;
  std::string interfaceDevtype;
  std::string usbSyspath;
  std::string usbDevtype;
  std::string Usb(const std::string& attribute) const;
  std::vector<std::pair<std::string, std::string>> usbAttributes;
};

// Every hidraw device udev knows, by devnode.
std::vector<HidrawEntry> ListHidraw();
// The device behind a device number, as a layer looks up what it opened.
std::optional<HidrawEntry> HidrawByDevnum(unsigned major, unsigned minor);

struct HidrawEvent {
  std::string action;  // "add" or "remove"
  HidrawEntry device;  // the HID parent's properties only for "add"
};

// A udev monitor of the hidraw subsystem.
class HidrawMonitor {
 public:
  HidrawMonitor();
  ~HidrawMonitor();
  HidrawMonitor(const HidrawMonitor&) = delete;
  HidrawMonitor& operator=(const HidrawMonitor&) = delete;

  bool Ready() const { return monitor_ != nullptr; }
  std::optional<HidrawEvent> Next(int timeoutMs = kEventTimeoutMs);

 private:
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
};

// A node opened read-write and non-blocking, as a device layer opens it.
class HidrawFile {
 public:
  explicit HidrawFile(const std::string& devnode);
  ~HidrawFile();
  HidrawFile(const HidrawFile&) = delete;
  HidrawFile& operator=(const HidrawFile&) = delete;

  int Fd() const { return fd_; }
  int OpenErrno() const { return openErrno_; }
  // Returns the byte count, or -1 with errno set.
  ssize_t WriteBytes(const std::vector<uint8_t>& bytes);
  // Report ID 0, then the 64 report bytes.
  ssize_t Write(const Report& report);
  ssize_t Read(uint8_t* buffer, std::size_t size);
  // poll: true when POLLIN came within `timeoutMs`.
  bool Readable(int timeoutMs);
  // poll for POLLIN: what it gave within `timeoutMs` (0: nothing).
  short PollEvents(int timeoutMs);
  // Waits for POLLIN, then reads one report; nullopt when none came or the
  // read did not give exactly 64 bytes.
  std::optional<Report> Answer(int timeoutMs = kEventTimeoutMs);

 private:
  int fd_ = -1;
  int openErrno_ = 0;
};

// Output reports, as the updater builds them.
Report VersionRequest();
Report UpdateRequest();
Report HeaderCommand(uint32_t payloadSize);
Report DataCommand(const uint8_t* data, std::size_t size);
Report CompletionCommand();

// The firmware event of a MSG_FIRMWARE answer (report byte 5), or -1.
int FirmwareEvent(const Report& report);

// The value of `key` in a status line ("reports" in "... reports=15 ..."),
// or "" when the line has none.
std::string StatusField(const std::string& line, const std::string& key);

// One command to the emulator's control channel ($KORVID_EMULATOR_CONTROL);
// the reply, or "no reply: ..." when there was none.
std::string Control(const std::string& command);
