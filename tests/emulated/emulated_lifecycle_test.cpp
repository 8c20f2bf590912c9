// Run under korvid-emulated-controller, one group per emulator setting: the
// controller plugged in and pulled out by the control channel, a whole update
// driven with raw reports until the controller comes back in application
// mode, and faults on one controller of two or in the middle of a transfer.
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "hidraw_client.h"
#include "protocol.h"
#include "temp_dir.h"

namespace {

// Every call on a descriptor of a pulled-out device fails with ENODEV.
void ExpectGone(HidrawFile& file) {
  uint8_t buffer[64];
  errno = 0;
  EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, ENODEV);
  errno = 0;
  EXPECT_EQ(file.Write(VersionRequest()), -1);
  EXPECT_EQ(errno, ENODEV);
  hidraw_devinfo info{};
  errno = 0;
  EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), -1);
  EXPECT_EQ(errno, ENODEV);
}

// The next event must be `action` on a hidraw node; returns it.
HidrawEvent ExpectEvent(HidrawMonitor& monitor, const std::string& action) {
  const std::optional<HidrawEvent> event = monitor.Next();
  EXPECT_TRUE(event.has_value()) << "no " << action << " event";
  if (!event) return HidrawEvent{};
  EXPECT_EQ(event->action, action) << event->device.devnode;
  return *event;
}

// Update request, identity, header: the controller then waits for chunk 1.
void StartUpdate(HidrawFile& file, uint32_t payloadSize) {
  ASSERT_EQ(file.Write(UpdateRequest()), 65);
  const std::optional<Report> identity = file.Answer();
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ((*identity)[2], MSG_IDENTITY);
  EXPECT_EQ(ReadLe32(&(*identity)[1 + kIdentityFirmwareTypeOffset]), 1u) << "firmware type";
  ASSERT_EQ(file.Write(HeaderCommand(payloadSize)), 65);
  const std::optional<Report> ack = file.Answer();
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(FirmwareEvent(*ack), FIRMWARE_ACK);
}

std::vector<uint8_t> Payload(std::size_t size) {
  std::vector<uint8_t> payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
  return payload;
}

TEST(Hotplug, AttachAndUnplugReachAMonitorAndTheOldDescriptorFailsWithNoDevice) {
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  EXPECT_TRUE(ListHidraw().empty()) << "a controller to be attached later is there at start";

  ASSERT_EQ(Control("attach"), "ok attached");
  const HidrawEvent added = ExpectEvent(monitor, "add");
  EXPECT_EQ(added.device.devnode, "/dev/hidraw0");
  EXPECT_EQ(added.device.hidId, "0003:00002DC8:00005750");
  HidrawFile file(added.device.devnode);
  ASSERT_GE(file.Fd(), 0);
  ASSERT_EQ(file.Write(VersionRequest()), 65);
  ASSERT_TRUE(file.Answer().has_value());
  EXPECT_EQ(StatusField(Control("status"), "open"), "1");

  ASSERT_EQ(Control("unplug"), "ok unplugged");
  const HidrawEvent removed = ExpectEvent(monitor, "remove");
  EXPECT_EQ(removed.device.syspath, added.device.syspath);
  EXPECT_TRUE(file.Readable(kEventTimeoutMs)) << "a program waiting in poll is not woken by the unplug";
  ExpectGone(file);
  HidrawFile again(added.device.devnode);
  EXPECT_EQ(again.OpenErrno(), ENOENT);
  EXPECT_TRUE(ListHidraw().empty());
  EXPECT_EQ(StatusField(Control("status"), "node"), "-");

  // Plugged in again it is a new node; the old descriptor stays dead.
  ASSERT_EQ(Control("attach"), "ok attached");
  const HidrawEvent back = ExpectEvent(monitor, "add");
  EXPECT_NE(back.device.devnode, added.device.devnode);
  HidrawFile fresh(back.device.devnode);
  ASSERT_EQ(fresh.Write(VersionRequest()), 65);
  EXPECT_TRUE(fresh.Answer().has_value());
  ExpectGone(file);

  ASSERT_EQ(Control("reattach"), "ok attached");
  EXPECT_EQ(ExpectEvent(monitor, "remove").device.syspath, back.device.syspath);
  EXPECT_EQ(StatusField(Control("status"), "node"), ExpectEvent(monitor, "add").device.devnode);
  ExpectGone(fresh);
}

TEST(Update, ARawUpdateLeavesTheImageAndTheControllerReturnsAsANewApplicationNode) {
  constexpr std::size_t kPayloadSize = 100;  // chunks of 32, 32, 32 and 4 bytes
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  HidrawFile file("/dev/hidraw0");
  ASSERT_GE(file.Fd(), 0);
  ASSERT_NO_FATAL_FAILURE(StartUpdate(file, kPayloadSize));
  const std::vector<uint8_t> payload = Payload(kPayloadSize);
  for (std::size_t offset = 0; offset < payload.size(); offset += kHidChunkSize) {
    const std::size_t size = std::min(kHidChunkSize, payload.size() - offset);
    ASSERT_EQ(file.Write(DataCommand(payload.data() + offset, size)), 65);
    const std::optional<Report> ack = file.Answer();
    ASSERT_TRUE(ack.has_value()) << "chunk at " << offset;
    EXPECT_EQ(FirmwareEvent(*ack), FIRMWARE_ACK);
  }
  ASSERT_EQ(file.Write(CompletionCommand()), 65);

  // The BOOT-mode device goes; the application's comes as another node.
  EXPECT_EQ(ExpectEvent(monitor, "remove").device.devnode, "/dev/hidraw0");
  const HidrawEvent back = ExpectEvent(monitor, "add");
  EXPECT_NE(back.device.devnode, "/dev/hidraw0");
  EXPECT_EQ(back.device.hidId, "0003:00002DC8:00005751");
  EXPECT_EQ(back.device.hidName, "Korvid Controller");
  ExpectGone(file);
  HidrawFile application(back.device.devnode);
  hidraw_devinfo info{};
  ASSERT_EQ(ioctl(application.Fd(), HIDIOCGRAWINFO, &info), 0);
  EXPECT_EQ(static_cast<uint16_t>(info.product), 0x5751);

  TempDir dir;
  const std::string imagePath = (dir / "image.bin").string();
  EXPECT_EQ(Control("image 1 " + imagePath), "ok 100");
  std::ifstream image(imagePath, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(image), {}), payload);
  const std::string status = Control("status");
  EXPECT_EQ(StatusField(status, "boot"), "0") << status;
  EXPECT_EQ(StatusField(status, "pid"), "0x5751") << status;
  EXPECT_EQ(StatusField(status, "node"), back.device.devnode) << status;
  EXPECT_EQ(Control("violations"), "");
}

TEST(FaultOnOneController, OnlyTheNamedControllerAnswersTheChunkWithItsFailure) {
  const struct {
    const char* devnode;
    int event;
  } kCases[] = {{"/dev/hidraw0", FIRMWARE_ACK}, {"/dev/hidraw1", FIRMWARE_FAIL_24}};
  const uint8_t chunk[kHidChunkSize] = {1, 2, 3};
  for (const auto& expected : kCases) {
    SCOPED_TRACE(expected.devnode);
    HidrawFile file(expected.devnode);
    ASSERT_GE(file.Fd(), 0);
    ASSERT_NO_FATAL_FAILURE(StartUpdate(file, 64));
    ASSERT_EQ(file.Write(DataCommand(chunk, sizeof chunk)), 65);
    const std::optional<Report> answer = file.Answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(FirmwareEvent(*answer), expected.event);
  }
}

TEST(UnplugFault, TheControllerVanishesAfterTakingTheNamedChunk) {
  HidrawMonitor monitor;
  HidrawFile file("/dev/hidraw0");
  ASSERT_NO_FATAL_FAILURE(StartUpdate(file, 100));
  const uint8_t chunk[kHidChunkSize] = {};
  ASSERT_EQ(file.Write(DataCommand(chunk, sizeof chunk)), 65);
  ASSERT_TRUE(file.Answer().has_value());
  // The second chunk is taken, then the device is gone without an answer.
  EXPECT_EQ(file.Write(DataCommand(chunk, sizeof chunk)), 65);
  EXPECT_EQ(ExpectEvent(monitor, "remove").device.devnode, "/dev/hidraw0");
  ExpectGone(file);
  EXPECT_EQ(StatusField(Control("status"), "attached"), "0");
  EXPECT_TRUE(ListHidraw().empty());
}

}  // namespace
