// Run under korvid-emulated-controller, one group per emulator setting: the
// controller plugged in and pulled out by the control channel, a whole update
// driven with raw reports until the controller comes back in application
// mode, and faults on one controller of two or in the middle of a transfer.
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "hidraw_client.h"
#include "protocol.h"
#include "temp_dir.h"

namespace {

// A descriptor of a pulled-out device with nothing left queued: poll says
// so, reads fail with EIO, writes and ioctls with ENODEV.
void ExpectGone(HidrawFile& file) {
  EXPECT_EQ(file.PollEvents(0) & (POLLIN | POLLERR | POLLHUP), POLLIN | POLLERR | POLLHUP);
  uint8_t buffer[64];
  errno = 0;
  EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EIO);
  errno = 0;
  EXPECT_EQ(file.Write(VersionRequest()), -1);
  EXPECT_EQ(errno, ENODEV);
  hidraw_devinfo info{};
  errno = 0;
  EXPECT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), -1);
  EXPECT_EQ(errno, ENODEV);
}

// A write on its own thread, for one that waits in the kernel.
struct WriteOnAThread {
  explicit WriteOnAThread(HidrawFile& file)
      : thread([this, &file] {
          result = file.Write(VersionRequest());
          error = errno;
          ended = std::chrono::steady_clock::now();
          done.set_value();
        }) {}
  ~WriteOnAThread() { thread.join(); }
  // True once the write returned within `seconds`.
  bool Returned(int seconds) { return finished.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready; }
  ssize_t result = 0;
  int error = 0;
  std::chrono::steady_clock::time_point ended;
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread thread;
};

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

// A session leader without a terminal that opens a node without O_NOCTTY
// (Wine's device service does) must not be sent SIGHUP when the controller
// is unplugged: a real hidraw node is no terminal.
TEST(Hotplug, ASessionLeaderHoldingTheNodeOutlivesTheUnplug) {
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  Control("unplug");  // as the test before may have left it
  ASSERT_EQ(Control("attach"), "ok attached");
  std::optional<HidrawEvent> added;
  while ((added = monitor.Next()) && added->action != "add") {
  }
  ASSERT_TRUE(added.has_value()) << "no add event";
  const std::string devnode = added->device.devnode;
  int opened[2], proceed[2];
  ASSERT_EQ(pipe(opened), 0);
  ASSERT_EQ(pipe(proceed), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    const int fd = open(devnode.c_str(), O_RDWR);
    const char result = fd >= 0 ? 1 : 0;
    if (write(opened[1], &result, 1) != 1) _exit(3);
    char go = 0;
    _exit(read(proceed[0], &go, 1) == 1 ? 0 : 4);
  }
  char result = 0;
  ASSERT_EQ(read(opened[0], &result, 1), 1);
  EXPECT_EQ(result, 1) << "the child could not open " << devnode;
  ASSERT_EQ(Control("unplug"), "ok unplugged");
  ExpectEvent(monitor, "remove");
  const char go = 1;
  EXPECT_EQ(write(proceed[1], &go, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the holder of the node was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  for (int fd : {opened[0], opened[1], proceed[0], proceed[1]}) close(fd);
}

// A kernel's udev monitor holds thousands of uevents; umockdev's holds
// net.unix.max_dgram_qlen and aborts the emulator beyond (scripts/setup.sh
// raises it). A monitor read late gets a burst of plugs and unplugs whole.
TEST(Hotplug, AMonitorReadLateGetsABurstOfPlugsAndUnplugsWhole) {
  int limit = 0;
  std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> limit;
  constexpr int kPlugs = 6;  // 4 uevents a plug, 4 an unplug: 48 at most
  if (limit < 8 * kPlugs) GTEST_SKIP() << "net.unix.max_dgram_qlen is " << limit << "; scripts/setup.sh raises it";
  Control("unplug");
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  for (int i = 0; i < kPlugs; ++i) {
    ASSERT_EQ(Control("attach"), "ok attached");
    ASSERT_EQ(Control("unplug"), "ok unplugged");
  }
  for (int i = 0; i < kPlugs; ++i) {
    const std::string added = ExpectEvent(monitor, "add").device.syspath;
    EXPECT_EQ(ExpectEvent(monitor, "remove").device.syspath, added);
  }
}

TEST(Update, ARawUpdateLeavesTheImageAndTheControllerReturnsAsANewApplicationNode) {
  constexpr std::size_t kPayloadSize = 100;  // chunks of 32, 32, 32 and 4 bytes
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  const std::vector<HidrawEntry> before = ListHidraw();
  ASSERT_EQ(before.size(), 1u);
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
  // On the same port, as the same controller, with a new address.
  EXPECT_EQ(back.device.usbSyspath, before[0].usbSyspath);
  EXPECT_EQ(back.device.hidUniq, before[0].hidUniq);
  EXPECT_NE(back.device.Usb("devnum"), before[0].Usb("devnum"));
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

// Run under an emulator with --return-delay-ms 20 --return-port 7.
TEST(ReturnElsewhere, TheControllerLeavingBootModeComesBackOnTheNamedPort) {
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  const std::vector<HidrawEntry> before = ListHidraw();
  ASSERT_EQ(before.size(), 1u);
  HidrawFile file("/dev/hidraw0");
  ASSERT_NO_FATAL_FAILURE(StartUpdate(file, 4));
  const uint8_t chunk[4] = {1, 2, 3, 4};
  ASSERT_EQ(file.Write(DataCommand(chunk, sizeof chunk)), 65);
  ASSERT_TRUE(file.Answer().has_value());
  ASSERT_EQ(file.Write(CompletionCommand()), 65);
  EXPECT_EQ(ExpectEvent(monitor, "remove").device.devnode, "/dev/hidraw0");
  const HidrawEvent back = ExpectEvent(monitor, "add");
  EXPECT_EQ(back.device.hidId, "0003:00002DC8:00005751");
  EXPECT_EQ(before[0].Usb("devpath"), "1");
  EXPECT_EQ(back.device.Usb("devpath"), "7");
  EXPECT_EQ(back.device.usbSyspath, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-7");
  EXPECT_EQ(back.device.idPath, "pci-0000:00:14.0-usb-0:7:1.0");
}

// Run under an emulator with --short-report-at-chunk 1.
TEST(ShortReport, TheShortReportWithAChunkNeverReachesTheReader) {
  HidrawFile file("/dev/hidraw0");
  ASSERT_NO_FATAL_FAILURE(StartUpdate(file, 64));
  const uint8_t chunk[kHidChunkSize] = {};
  ASSERT_EQ(file.Write(DataCommand(chunk, sizeof chunk)), 65);
  const std::optional<Report> ack = file.Answer();
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(FirmwareEvent(*ack), FIRMWARE_ACK);
  // The short report was sent with the answer: had it been kept, it would
  // be queued by now.
  const std::string status = Control("status");
  EXPECT_EQ(StatusField(status, "short_dropped"), "1") << status;
  EXPECT_EQ(StatusField(status, "queued"), "0") << status;
  EXPECT_FALSE(file.Readable(0));
}

// Run under an emulator with --stop-reading-at-chunk 1.
TEST(WriteTimeout, AWriteTheControllerDoesNotTakeFailsAfterFiveSecondsAsUsbhidsDoes) {
  HidrawFile file("/dev/hidraw0");
  ASSERT_NO_FATAL_FAILURE(StartUpdate(file, 64));
  const uint8_t chunk[kHidChunkSize] = {};
  ASSERT_EQ(file.Write(DataCommand(chunk, sizeof chunk)), 65) << "data command 1 is still taken";
  const auto start = std::chrono::steady_clock::now();
  WriteOnAThread write(file);
  ASSERT_TRUE(write.Returned(30)) << "the write did not end";
  EXPECT_EQ(write.result, -1);
  EXPECT_EQ(write.error, ETIMEDOUT);
  const auto waited = write.ended - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_EQ(StatusField(Control("status"), "attached"), "1") << "the device stays";
}

// Run under an emulator with --stop-reading-at-chunk 1.
TEST(UnplugMidWrite, TheWaitingWriteAndItsNextFailWithEprotoAndQueuedReportsStayReadable) {
  HidrawFile writer("/dev/hidraw0");
  ASSERT_NO_FATAL_FAILURE(StartUpdate(writer, 64));
  HidrawFile reader("/dev/hidraw0");
  hidraw_devinfo info{};
  ASSERT_EQ(ioctl(reader.Fd(), HIDIOCGRAWINFO, &info), 0);
  const uint8_t chunk[kHidChunkSize] = {};
  ASSERT_EQ(writer.Write(DataCommand(chunk, sizeof chunk)), 65);
  // Both descriptors hold three numbered reports; the chunk got no answer.
  ASSERT_EQ(Control("input 3"), "ok sent 3");
  uint8_t report[kReportSize];

  HidrawMonitor monitor;
  std::optional<WriteOnAThread> waiting;
  waiting.emplace(writer);
  EXPECT_FALSE(waiting->Returned(1)) << "a write the controller does not take returned at once";
  ASSERT_EQ(Control("unplug"), "ok unplugged");
  ASSERT_TRUE(waiting->Returned(10));
  EXPECT_EQ(waiting->result, -1);
  EXPECT_EQ(waiting->error, EPROTO);
  waiting.reset();
  EXPECT_EQ(ExpectEvent(monitor, "remove").device.devnode, "/dev/hidraw0");

  // Then: what each descriptor gets, in order.
  const struct {
    HidrawFile* file;
    const char* call;
    long result;  // bytes, or -1
    int error;
    uint32_t number;  // of the numbered report read; 0 for another
  } kSteps[] = {
      {&writer, "write", -1, EPROTO, 0},  // the one after the write that waited
      {&writer, "write", -1, ENODEV, 0}, {&reader, "write", -1, ENODEV, 0}, {&reader, "read", 64, 0, 1},
      {&reader, "read", 64, 0, 2},       {&reader, "read", 64, 0, 3},       {&reader, "read", -1, EIO, 0},
      {&reader, "ioctl", -1, ENODEV, 0}, {&writer, "read", 64, 0, 1},       {&writer, "read", 64, 0, 2},
      {&writer, "read", 64, 0, 3},       {&writer, "read", -1, EIO, 0},
  };
  for (std::size_t i = 0; i < std::size(kSteps); ++i) {
    const auto& step = kSteps[i];
    SCOPED_TRACE("step " + std::to_string(i) + ": " + step.call);
    const std::string call = step.call;
    if (call == "read") {
      EXPECT_EQ(step.file->PollEvents(0) & (POLLIN | POLLERR | POLLHUP), POLLIN | POLLERR | POLLHUP);
    }
    errno = 0;
    const long result = call == "write"  ? static_cast<long>(step.file->Write(VersionRequest()))
                        : call == "read" ? static_cast<long>(step.file->Read(report, sizeof report))
                                         : static_cast<long>(ioctl(step.file->Fd(), HIDIOCGRAWINFO, &info));
    EXPECT_EQ(result, step.result);
    if (step.result < 0) {
      EXPECT_EQ(errno, step.error);
    }
    if (step.number != 0) {
      EXPECT_EQ(ReadLe32(report), step.number);
    }
  }
}

}  // namespace
