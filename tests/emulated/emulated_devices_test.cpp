// What a hidraw device layer finds through libudev and gets from each node
// of korvid-emulated-controller. Devices.* runs under two controllers
// (vendors 0x0483 and 0x2DC8, version 1.23 beta 4) and the three devices
// that are not ours; Paced.* and Permission.* under the settings they name.
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "hidraw_client.h"
#include "protocol.h"

namespace {

struct ExpectedDevice {
  const char* devnode;
  const char* hidId;
  uint32_t bus;
  uint16_t vendor;
  uint16_t product;
  const char* name;
  bool ours;                // a controller, which answers
  const char* usbPort;      // the USB device's name, "" off USB
  const char* serial;       // HID_UNIQ and the USB serial
  std::size_t inputReport;  // bytes, as its report descriptor declares
};

const ExpectedDevice kDevices[] = {
    {"/dev/hidraw0", "0003:00000483:00005750", BUS_USB, 0x0483, 0x5750, "Korvid Controller (BOOT)", true, "1-1",
     "KV0000000001", 64},
    {"/dev/hidraw1", "0003:00002DC8:00005750", BUS_USB, 0x2DC8, 0x5750, "Korvid Controller (BOOT)", true, "1-2",
     "KV0000000002", 64},
    {"/dev/hidraw2", "0003:0000046D:0000C000", BUS_USB, 0x046D, 0xC000, "USB Receiver", false, "1-3", "", 8},
    {"/dev/hidraw3", "0005:00002DC8:00005750", BUS_BLUETOOTH, 0x2DC8, 0x5750, "Korvid Controller (BOOT)", false, "", "",
     64},
    {"/dev/hidraw4", "0003:00002DC8:00005751", BUS_USB, 0x2DC8, 0x5751, "Korvid Controller", false, "1-5",
     "KVA0000000001", 64},
};

// What a report descriptor declares, read item by item as the kernel's
// parser reads it (long items aside).
struct DeclaredReports {
  unsigned usagePage = 0;  // of the first collection
  unsigned collections = 0;
  bool numbered = false;  // a Report ID item
  std::size_t inputBytes = 0;
  std::size_t outputBytes = 0;
  bool wellFormed = true;
};

DeclaredReports Parse(const uint8_t* bytes, std::size_t size) {
  DeclaredReports declared;
  unsigned usagePage = 0, reportSize = 0, reportCount = 0, depth = 0;
  for (std::size_t at = 0; at < size;) {
    const uint8_t prefix = bytes[at];
    const std::size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + length > size) {
      declared.wellFormed = false;
      break;
    }
    unsigned value = 0;
    for (std::size_t i = 0; i < length; ++i) value |= static_cast<unsigned>(bytes[at + 1 + i]) << (8 * i);
    switch (prefix & 0xFC) {
      case 0x04:
        usagePage = value;
        break;
      case 0x74:
        reportSize = value;
        break;
      case 0x94:
        reportCount = value;
        break;
      case 0x84:
        declared.numbered = true;
        break;
      case 0x80:
        declared.inputBytes += reportSize * reportCount / 8;
        break;
      case 0x90:
        declared.outputBytes += reportSize * reportCount / 8;
        break;
      case 0xA0:
        if (depth++ == 0 && declared.collections++ == 0) declared.usagePage = usagePage;
        break;
      case 0xC0:
        if (depth == 0) declared.wellFormed = false;
        --depth;
        break;
      default:
        break;
    }
    at += 1 + length;
  }
  if (depth != 0) declared.wellFormed = false;
  return declared;
}

TEST(Devices, LibudevFindsEveryNodeWithItsHidParentAndDeviceNumber) {
  const std::vector<HidrawEntry> found = ListHidraw();
  ASSERT_EQ(found.size(), std::size(kDevices));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const HidrawEntry& entry = found[i];
    SCOPED_TRACE(kDevices[i].devnode);
    EXPECT_EQ(entry.devnode, kDevices[i].devnode);
    EXPECT_EQ(entry.hidId, kDevices[i].hidId);
    EXPECT_EQ(entry.hidName, kDevices[i].name);
    EXPECT_EQ(entry.hidUniq, kDevices[i].serial);
    EXPECT_FALSE(entry.hidPhys.empty());
    EXPECT_EQ(entry.minor, i);
    const std::optional<HidrawEntry> byNumber = HidrawByDevnum(entry.major, entry.minor);
    ASSERT_TRUE(byNumber.has_value()) << "no device for " << entry.major << ":" << entry.minor;
    EXPECT_EQ(byNumber->syspath, entry.syspath);
  }
}

TEST(Devices, UsbNodesSitUnderAUsbInterfaceAndDeviceAsTheKernelMakesThem) {
  const std::vector<HidrawEntry> found = ListHidraw();
  ASSERT_EQ(found.size(), std::size(kDevices));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const ExpectedDevice& expected = kDevices[i];
    const HidrawEntry& entry = found[i];
    SCOPED_TRACE(expected.devnode);
    const std::string port = expected.usbPort;
    if (port.empty()) {
      EXPECT_EQ(entry.usbSyspath, "");
      EXPECT_EQ(entry.interfaceSyspath, "");
      EXPECT_EQ(entry.idPath, "");
      continue;
    }
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/" + port;
    EXPECT_EQ(entry.usbSyspath, "/sys" + usb);
    EXPECT_EQ(entry.usbDevtype, "usb_device");
    EXPECT_EQ(entry.interfaceSyspath, "/sys" + usb + "/" + port + ":1.0");
    EXPECT_EQ(entry.interfaceDevtype, "usb_interface");
    char hid[32];
    std::snprintf(hid, sizeof hid, "/0003:%04X:%04X.", expected.vendor, expected.product);
    EXPECT_EQ(entry.syspath.rfind(entry.interfaceSyspath + hid, 0), 0u) << entry.syspath;
    EXPECT_EQ(entry.idPath, "pci-0000:00:14.0-usb-0:" + port.substr(2) + ":1.0");
    EXPECT_EQ(entry.hidPhys, "usb-0000:00:14.0-" + port.substr(2) + "/input0");
    EXPECT_EQ(entry.Usb("busnum"), "1");
    EXPECT_EQ(entry.Usb("devpath"), port.substr(2));
    EXPECT_FALSE(entry.Usb("devnum").empty());
    char ids[2][8];
    std::snprintf(ids[0], sizeof ids[0], "%04x", expected.vendor);
    std::snprintf(ids[1], sizeof ids[1], "%04x", expected.product);
    EXPECT_EQ(entry.Usb("idVendor"), ids[0]);
    EXPECT_EQ(entry.Usb("idProduct"), ids[1]);
    EXPECT_EQ(entry.Usb("serial"), expected.serial);
    // usbhid names the HID device "<manufacturer> <product>".
    const std::string manufacturer = entry.Usb("manufacturer");
    EXPECT_EQ((manufacturer.empty() ? "" : manufacturer + " ") + entry.Usb("product"), expected.name);
  }
}

TEST(Devices, IoctlsAnswerIdsNamesAndTheReportDescriptorAndRefuseTheRest) {
  const std::vector<HidrawEntry> found = ListHidraw();
  ASSERT_EQ(found.size(), std::size(kDevices));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const ExpectedDevice& expected = kDevices[i];
    SCOPED_TRACE(expected.devnode);
    HidrawFile file(expected.devnode);
    ASSERT_GE(file.Fd(), 0) << std::strerror(file.OpenErrno());

    hidraw_devinfo info{};
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), 0) << std::strerror(errno);
    EXPECT_EQ(info.bustype, expected.bus);
    EXPECT_EQ(static_cast<uint16_t>(info.vendor), expected.vendor);
    EXPECT_EQ(static_cast<uint16_t>(info.product), expected.product);

    char name[256] = {};
    EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRAWNAME(sizeof name), name), static_cast<int>(std::strlen(expected.name) + 1));
    EXPECT_STREQ(name, expected.name);
    char cut[4] = {};  // the kernel copies what fits, without a NUL
    EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRAWNAME(sizeof cut), cut), 4);
    EXPECT_EQ(std::string(cut, 4), std::string(expected.name, 4));

    char phys[256] = {};
    EXPECT_GT(ioctl(file.Fd(), HIDIOCGRAWPHYS(sizeof phys), phys), 0);
    EXPECT_EQ(phys, found[i].hidPhys);

    char uniq[64] = {};
    EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRAWUNIQ(sizeof uniq), uniq), static_cast<int>(std::strlen(expected.serial) + 1));
    EXPECT_STREQ(uniq, expected.serial);

    int descriptorSize = 0;
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRDESCSIZE, &descriptorSize), 0) << std::strerror(errno);
    ASSERT_GT(descriptorSize, 0);
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<uint32_t>(descriptorSize);
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRDESC, &descriptor), 0) << std::strerror(errno);
    const DeclaredReports declared = Parse(descriptor.value, static_cast<std::size_t>(descriptorSize));
    EXPECT_TRUE(declared.wellFormed);
    EXPECT_FALSE(declared.numbered) << "reports carry no report ID";
    EXPECT_EQ(declared.collections, 1u);
    EXPECT_EQ(declared.inputBytes, expected.inputReport);
    if (expected.inputReport == 64) {
      EXPECT_EQ(declared.usagePage, 0xFF00u) << "the controller's collection is the vendor's";
      EXPECT_EQ(declared.outputBytes, 64u);
    }
    // Asked for less, the kernel copies only that much; asked for more than
    // a descriptor can hold, it refuses.
    hidraw_report_descriptor part{};
    std::memset(part.value, 0xEE, sizeof part.value);
    part.size = 3;
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRDESC, &part), 0);
    EXPECT_EQ(std::memcmp(part.value, descriptor.value, 3), 0);
    EXPECT_EQ(part.value[3], 0xEE);
    part.size = HID_MAX_DESCRIPTOR_SIZE;
    errno = 0;
    EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRDESC, &part), -1);
    EXPECT_EQ(errno, EINVAL);

    // Report requests go to the device, which has no such reports and
    // stalls them.
    for (unsigned long request :
         {static_cast<unsigned long>(HIDIOCGFEATURE(8)), static_cast<unsigned long>(HIDIOCSFEATURE(8))}) {
      SCOPED_TRACE(request);
      uint8_t report[8] = {};
      errno = 0;
      EXPECT_EQ(ioctl(file.Fd(), request, report), -1);
      EXPECT_EQ(errno, EPIPE);
    }

    // Requests hidraw does not know: ENOTTY for its own type, EINVAL for
    // another driver's (a tty's, too: the node is no tty).
    const std::pair<unsigned long, int> unknowns[] = {{_IOR('H', 0x30, int), ENOTTY}, {0x5401UL /* TCGETS */, EINVAL}};
    for (const auto& [unknown, expected] : unknowns) {
      SCOPED_TRACE(unknown);
      int argument = 0;
      errno = 0;
      EXPECT_EQ(ioctl(file.Fd(), unknown, &argument), -1);
      EXPECT_EQ(errno, expected);
    }
  }
}

TEST(Devices, EachReadIsOneWholeReportAndPollShowsExactlyWhatIsQueued) {
  for (const char* devnode : {"/dev/hidraw0", "/dev/hidraw1"}) {
    SCOPED_TRACE(devnode);
    HidrawFile file(devnode);
    ASSERT_GE(file.Fd(), 0);
    uint8_t buffer[256];
    EXPECT_FALSE(file.Readable(0));
    EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);

    ASSERT_EQ(file.Write(VersionRequest()), 65);
    const std::optional<Report> version = file.Answer();
    ASSERT_TRUE(version.has_value());
    // Count byte, then MSG_FIRMWARE event 4 with version 1.23 and beta 4
    // (little-endian at message bytes 7-10); nothing stale after the count.
    Report expected{};
    const uint8_t bytes[] = {11, 0x00, MSG_FIRMWARE, 0x07, 0x00, GET_FIRMWARE_VSION, 0x00, 0x00, 123, 0x00, 4, 0x00};
    std::memcpy(expected.data(), bytes, sizeof bytes);
    EXPECT_EQ(*version, expected);
    EXPECT_FALSE(file.Readable(0)) << "poll still shows a report after the only one was read";

    // Two queued reports are two reads; a read asking for less takes the
    // whole report all the same.
    ASSERT_EQ(file.Write(VersionRequest()), 65);
    ASSERT_EQ(file.Write(VersionRequest()), 65);
    ASSERT_TRUE(file.Readable(kEventTimeoutMs));
    EXPECT_EQ(file.Read(buffer, 8), 8);
    EXPECT_EQ(buffer[5], GET_FIRMWARE_VSION);
    ASSERT_TRUE(file.Readable(kEventTimeoutMs));
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 64);
    EXPECT_FALSE(file.Readable(0));
    EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
  }
}

TEST(Devices, DevicesThatAreNotOursTakeWritesAndAnswerNothing) {
  HidrawFile controller("/dev/hidraw1");
  for (const char* devnode : {"/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4"}) {
    SCOPED_TRACE(devnode);
    HidrawFile other(devnode);
    ASSERT_GE(other.Fd(), 0);
    EXPECT_EQ(other.Write(VersionRequest()), 65);
    // The emulator answers in order: once the controller's answer is here,
    // an answer of the other device would have been queued before it.
    ASSERT_EQ(controller.Write(VersionRequest()), 65) << std::strerror(errno);
    ASSERT_TRUE(controller.Answer().has_value()) << Control("status 1");
    EXPECT_FALSE(other.Readable(0));
  }
}

TEST(Devices, WritesThatAreNotOneNumberlessReportAreWireViolationsTheControllerNeverSees) {
  HidrawFile file("/dev/hidraw0");
  ASSERT_GE(file.Fd(), 0);
  const std::string before = Control("status 1");
  const Report request = VersionRequest();
  std::vector<uint8_t> withoutId(request.begin(), request.end());
  std::vector<uint8_t> numbered(request.size() + 1, 0x05);
  std::copy(request.begin(), request.end(), numbered.begin() + 1);

  EXPECT_EQ(file.WriteBytes(withoutId), 64);  // hidraw lets these through
  EXPECT_EQ(file.WriteBytes(numbered), 65);
  EXPECT_EQ(file.WriteBytes({0x00}), -1);  // ... but not a single byte
  EXPECT_EQ(errno, EINVAL);

  const std::string violations = Control("violations 1");
  EXPECT_NE(violations.find("a write of 64 bytes"), std::string::npos) << violations;
  EXPECT_NE(violations.find("report ID 0x05"), std::string::npos) << violations;
  EXPECT_NE(violations.find("a write of 1 bytes"), std::string::npos) << violations;
  const std::string status = Control("status 1");
  EXPECT_EQ(StatusField(status, "wire_violations"), "3") << status;
  EXPECT_EQ(StatusField(status, "violations"), "0") << status;
  EXPECT_EQ(StatusField(status, "reports"), StatusField(before, "reports")) << "one of them reached the controller";
  EXPECT_FALSE(file.Readable(0));
  EXPECT_EQ(Control("violations 2"), "");
}

TEST(Devices, AProgramKilledInTheMiddleLeavesNoReportsBehind) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t looping = fork();
  ASSERT_GE(looping, 0);
  if (looping == 0) {  // round trips without end, until killed
    HidrawFile file("/dev/hidraw1");
    for (int trips = 0;; ++trips) {
      if (file.Write(VersionRequest()) != 65 || !file.Answer()) _exit(1);
      if (trips == 20 && write(ready[1], "r", 1) != 1) _exit(1);
    }
  }
  close(ready[1]);
  char byte;
  const bool looped = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  kill(looping, SIGKILL);
  int status = 0;
  waitpid(looping, &status, 0);
  ASSERT_TRUE(looped) << "the looping program failed";

  // Whether it died inside a call or between two, the next program finds
  // nothing queued, and its first answer is its own.
  HidrawFile file("/dev/hidraw1");
  hidraw_devinfo info{};
  ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), 0);
  const std::string line = Control("status 2");
  EXPECT_EQ(StatusField(line, "queued"), "0") << line;
  EXPECT_FALSE(file.Readable(0));
  ASSERT_EQ(file.Write(UpdateRequest()), 65);
  const std::optional<Report> identity = file.Answer();
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ((*identity)[2], MSG_IDENTITY);
}

TEST(Devices, AReaderQueuesAtMost63ReportsAndDropsTheNewest) {
  const struct {
    unsigned sent;
    unsigned kept;
  } kCases[] = {{62, 62}, {63, 63}, {64, 63}, {100, 63}};
  for (const auto& expected : kCases) {
    SCOPED_TRACE(expected.sent);
    HidrawFile file("/dev/hidraw1");
    hidraw_devinfo info{};
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), 0);  // a reader from its first answered call on
    ASSERT_EQ(Control("input 2 " + std::to_string(expected.sent)), "ok sent " + std::to_string(expected.sent));
    EXPECT_EQ(StatusField(Control("status 2"), "queued"), std::to_string(expected.kept));
    uint8_t report[kReportSize];
    for (unsigned n = 1; n <= expected.kept; ++n) {
      ASSERT_EQ(file.Read(report, sizeof report), static_cast<ssize_t>(kReportSize)) << "report " << n;
      EXPECT_EQ(ReadLe32(report), n) << "the oldest are kept";
    }
    errno = 0;
    EXPECT_EQ(file.Read(report, sizeof report), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(file.Readable(0));
  }
}

TEST(Devices, AnInputReportShorterThanTheDescriptorSaysIsDropped) {
  HidrawFile file("/dev/hidraw0");
  hidraw_devinfo info{};
  ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), 0);
  const std::string before = StatusField(Control("status 1"), "short_dropped");
  ASSERT_EQ(Control("short 1"), "ok sent 8 bytes");
  ASSERT_EQ(Control("input 1 1"), "ok sent 1");
  uint8_t report[kReportSize];
  ASSERT_EQ(file.Read(report, sizeof report), static_cast<ssize_t>(kReportSize));
  EXPECT_EQ(ReadLe32(report), 1u) << "the short report came through";
  EXPECT_EQ(file.Read(report, sizeof report), -1);
  EXPECT_EQ(std::stoul(StatusField(Control("status 1"), "short_dropped")), std::stoul(before) + 1);
  EXPECT_EQ(Control("short 3"), "error no controller 3");
}

// Run under an emulator with --paced.
TEST(Paced, ReportsAreTakenAndAnsweredOnePerFrame) {
  constexpr int kRequests = 5;
  HidrawFile file("/dev/hidraw0");
  ASSERT_GE(file.Fd(), 0);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRequests; ++i) ASSERT_EQ(file.Write(VersionRequest()), 65);
  for (int i = 0; i < kRequests; ++i) {
    const std::optional<Report> answer = file.Answer();
    ASSERT_TRUE(answer.has_value()) << "answer " << i;
    EXPECT_EQ(FirmwareEvent(*answer), GET_FIRMWARE_VSION);
  }
  // Each report is taken at a frame boundary after it was written, one per
  // frame: the last answer cannot come before four more boundaries passed.
  EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::microseconds(4000));
  EXPECT_EQ(StatusField(Control("stats"), "reports"), std::to_string(kRequests));
}

// Run as an unprivileged user under an emulator with two controllers and
// --no-permission 1.
TEST(Permission, ALockedNodeRefusesTheOpenWhileTheOtherControllerServes) {
  ASSERT_NE(geteuid(), 0u) << "root opens any node: run this case as an unprivileged user";
  EXPECT_EQ(ListHidraw().size(), 2u) << "enumeration needs no permission on the nodes";
  HidrawFile locked("/dev/hidraw0");
  EXPECT_EQ(locked.Fd(), -1);
  EXPECT_EQ(locked.OpenErrno(), EACCES);

  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  HidrawFile open("/dev/hidraw1");
  ASSERT_GE(open.Fd(), 0) << std::strerror(open.OpenErrno());
  ASSERT_EQ(open.Write(VersionRequest()), 65);
  EXPECT_TRUE(open.Answer().has_value());
  ASSERT_EQ(Control("unplug 2"), "ok unplugged");
  const std::optional<HidrawEvent> removed = monitor.Next();
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->action, "remove");
}

// Run under an emulator with --two-interfaces: one controller whose USB
// device has a second, keyboard-like HID interface.
TEST(TwoInterfaces, BothNodesHangOnOneUsbDeviceWithTheSameIdsAndOnlyTheFirstSpeaks) {
  const std::vector<HidrawEntry> found = ListHidraw();
  ASSERT_EQ(found.size(), 2u);
  const struct {
    const char* devnode;
    const char* interface;
    std::size_t inputReport;
    bool answers;
  } kNodes[] = {{"/dev/hidraw0", "1-1:1.0", 64, true}, {"/dev/hidraw1", "1-1:1.1", 8, false}};
  for (std::size_t i = 0; i < std::size(kNodes); ++i) {
    const auto& expected = kNodes[i];
    const HidrawEntry& entry = found[i];
    SCOPED_TRACE(expected.devnode);
    EXPECT_EQ(entry.devnode, expected.devnode);
    EXPECT_EQ(entry.hidId, "0003:00002DC8:00005750");
    EXPECT_EQ(entry.usbSyspath, found[0].usbSyspath);
    EXPECT_EQ(entry.interfaceSyspath, entry.usbSyspath + "/" + expected.interface);
    EXPECT_EQ(entry.hidPhys, "usb-0000:00:14.0-1/input" + std::to_string(i));

    HidrawFile file(expected.devnode);
    int size = 0;
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRDESCSIZE, &size), 0);
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<uint32_t>(size);
    ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRDESC, &descriptor), 0);
    EXPECT_EQ(Parse(descriptor.value, static_cast<std::size_t>(size)).inputBytes, expected.inputReport);
    ASSERT_EQ(file.Write(VersionRequest()), 65);
    if (expected.answers) {
      EXPECT_TRUE(file.Answer().has_value());
    } else {
      // Once the controller answered on its own node, an answer here would
      // have been queued before it.
      HidrawFile controller("/dev/hidraw0");
      ASSERT_EQ(controller.Write(VersionRequest()), 65) << std::strerror(errno);
    ASSERT_TRUE(controller.Answer().has_value()) << Control("status 1");
      EXPECT_FALSE(file.Readable(0));
    }
  }
  HidrawMonitor monitor;
  ASSERT_EQ(Control("unplug"), "ok unplugged");
  for (const char* devnode : {"/dev/hidraw0", "/dev/hidraw1"}) {
    const std::optional<HidrawEvent> removed = monitor.Next();
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->action, "remove");
    EXPECT_EQ(removed->device.devnode, devnode);
  }
  EXPECT_TRUE(ListHidraw().empty());
}

}  // namespace
