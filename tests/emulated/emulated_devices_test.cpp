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
  bool ours;  // a controller, which answers
};

const ExpectedDevice kDevices[] = {
    {"/dev/hidraw0", "0003:00000483:00005750", BUS_USB, 0x0483, 0x5750, "Korvid Controller (BOOT)", true},
    {"/dev/hidraw1", "0003:00002DC8:00005750", BUS_USB, 0x2DC8, 0x5750, "Korvid Controller (BOOT)", true},
    {"/dev/hidraw2", "0003:0000046D:0000C000", BUS_USB, 0x046D, 0xC000, "USB Receiver", false},
    {"/dev/hidraw3", "0005:00002DC8:00005750", BUS_BLUETOOTH, 0x2DC8, 0x5750, "Korvid Controller (BOOT)", false},
    {"/dev/hidraw4", "0003:00002DC8:00005751", BUS_USB, 0x2DC8, 0x5751, "Korvid Controller", false},
};

TEST(Devices, LibudevFindsEveryNodeWithItsHidParentAndDeviceNumber) {
  const std::vector<HidrawEntry> found = ListHidraw();
  ASSERT_EQ(found.size(), std::size(kDevices));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const HidrawEntry& entry = found[i];
    SCOPED_TRACE(kDevices[i].devnode);
    EXPECT_EQ(entry.devnode, kDevices[i].devnode);
    EXPECT_EQ(entry.hidId, kDevices[i].hidId);
    EXPECT_EQ(entry.hidName, kDevices[i].name);
    EXPECT_FALSE(entry.hidPhys.empty());
    EXPECT_EQ(entry.minor, i);
    const std::optional<HidrawEntry> byNumber = HidrawByDevnum(entry.major, entry.minor);
    ASSERT_TRUE(byNumber.has_value()) << "no device for " << entry.major << ":" << entry.minor;
    EXPECT_EQ(byNumber->syspath, entry.syspath);
  }
}

TEST(Devices, IoctlsAnswerBusIdsNameAndPhysAndRefuseTheRest) {
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

    int descriptorSize = 0;
    errno = 0;
    EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRDESCSIZE, &descriptorSize), -1);
    EXPECT_EQ(errno, EINVAL);
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
    ASSERT_TRUE(controller.Write(VersionRequest()) == 65 && controller.Answer().has_value());
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

}  // namespace
