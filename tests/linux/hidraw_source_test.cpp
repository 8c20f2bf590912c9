// The hidraw device source against emulated kernel devices, run as the
// program of korvid-emulated-controller (each case with the emulator
// settings it needs): what it opens and what it leaves alone, the reports
// both ways, removal told once whichever way it is learnt (a failed read
// alone included), plugging and the return in application mode heard from
// udev and from the kernel, a write held at the end, and a node the user
// may not open.
#include <dirent.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hidraw_client.h"
#include "hidraw_device_source.h"
#include "udev_hidraw.h"
#include "poll_event_loop.h"

namespace {

using namespace hiddevice;

class Recorder final : public DeviceSourceClient {
 public:
  explicit Recorder(PollEventLoop& loop) : loop_(loop) {}
  void DeviceArrived(DeviceId device, const DeviceProperties& properties) override {
    arrived.emplace_back(device, properties);
    loop_.Stop();
  }
  void DeviceRemoved(DeviceId device) override {
    removed.push_back(device);
    loop_.Stop();
  }
  void InputReport(DeviceId device, const std::uint8_t* report, std::size_t length) override {
    reports.emplace_back(device, std::vector<std::uint8_t>(report, report + length));
    loop_.Stop();
  }
  void DeviceUnavailable(const DeviceProperties& properties, const std::string& reason) override {
    unavailable.emplace_back(properties.path, reason);
    loop_.Stop();
  }
  void DeviceSeen(const DeviceProperties& properties) override {
    seen.push_back(properties);
    loop_.Stop();
  }
  void DeviceUnseen(const DeviceProperties& properties) override {
    unseen.push_back(properties);
    loop_.Stop();
  }

  std::vector<std::pair<DeviceId, DeviceProperties>> arrived;
  std::vector<DeviceId> removed;
  std::vector<std::pair<DeviceId, std::vector<std::uint8_t>>> reports;
  std::vector<std::pair<std::string, std::string>> unavailable;
  std::vector<DeviceProperties> seen;
  std::vector<DeviceProperties> unseen;

 private:
  PollEventLoop& loop_;
};

class HidrawSource : public testing::Test {
 protected:
  void Begin(DeviceSelection selection = KorvidControllers(),
             HidrawDeviceSource::Uevents uevents = HidrawDeviceSource::Uevents::FromUdev) {
    source_ = std::make_unique<HidrawDeviceSource>(loop_, recorder_, selection, uevents);
    source_->Start();
    auto scanned = std::make_shared<bool>(false);
    loop_.After(0, [this, scanned] {
      *scanned = true;
      loop_.Stop();
    });
    ASSERT_TRUE(RunUntil([&] { return *scanned; }));
  }
  // The update begun up to its first chunk, which the controller (stopped
  // reading at chunk 1) takes without an answer: the next write waits.
  DeviceId BeginUpToAStall() {
    Begin();
    EXPECT_EQ(recorder_.arrived.size(), 1u);
    if (recorder_.arrived.empty()) return 0;
    const DeviceId id = recorder_.arrived[0].first;
    const std::uint8_t chunk[32] = {};
    for (const Report& report : {UpdateRequest(), HeaderCommand(100), DataCommand(chunk, sizeof chunk)})
      EXPECT_EQ(source_->WriteReport(id, report.data(), report.size()), WriteResult::Written);
    return id;
  }
  // Serves the loop until `done` holds; false after kEventTimeoutMs.
  bool RunUntil(const std::function<bool()>& done) {
    auto late = std::make_shared<bool>(false);  // the timer may outlive this wait
    loop_.After(kEventTimeoutMs, [this, late] {
      *late = true;
      loop_.Stop();
    });
    while (!done() && !*late) loop_.Run();
    return done();
  }
  // A further turn of the loop with room for anything still on its way.
  void Settle() {
    bool turned = false;
    loop_.After(100, [&] {
      turned = true;
      loop_.Stop();
    });
    while (!turned) loop_.Run();
  }

  PollEventLoop loop_;
  Recorder recorder_{loop_};
  std::unique_ptr<HidrawDeviceSource> source_;
};

TEST_F(HidrawSource, OpensBootModeControllersOnUsbOnlyAndWatchesTheApplicationMode) {
  Begin();
  ASSERT_EQ(recorder_.arrived.size(), 2u);
  const DeviceProperties& first = recorder_.arrived[0].second;
  EXPECT_EQ(first.vendorId, 0x0483u);
  EXPECT_EQ(first.productId, 0x5750u);
  EXPECT_EQ(first.path, "/dev/hidraw0");
  EXPECT_EQ(first.product, "Korvid Controller (BOOT)") << "the name the node itself gives";
  EXPECT_EQ(recorder_.arrived[1].second.vendorId, 0x2DC8u);
  ASSERT_EQ(recorder_.seen.size(), 1u) << "the application-mode controller, never opened";
  EXPECT_EQ(recorder_.seen[0].productId, 0x5751u);
  EXPECT_TRUE(recorder_.unavailable.empty());
  EXPECT_EQ(StatusField(Control("status 1"), "open"), "1");
  EXPECT_EQ(StatusField(Control("status 2"), "open"), "1");

  // The listing of every second names each node as udev does: what the
  // source has judged, it knows by that name.
  std::set<std::string> fromUdev;
  udev* context = udev_new();
  ASSERT_NE(context, nullptr);
  udev_enumerate* enumerate = udev_enumerate_new(context);
  udev_enumerate_add_match_subsystem(enumerate, "hidraw");
  udev_enumerate_scan_devices(enumerate);
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) fromUdev.insert(udev_list_entry_get_name(entry));
  udev_enumerate_unref(enumerate);
  udev_unref(context);
  EXPECT_EQ(fromUdev.size(), 5u) << "two controllers, another vendor's, a Bluetooth one, one in application mode";
  EXPECT_EQ(ListHidrawSyspaths(), fromUdev);
}

TEST_F(HidrawSource, WithAPathOpensThatControllerAlone) {
  DeviceSelection selection = KorvidControllers();
  selection.onlyPath = "/dev/hidraw1";
  Begin(selection);
  ASSERT_EQ(recorder_.arrived.size(), 1u);
  EXPECT_EQ(recorder_.arrived[0].second.path, "/dev/hidraw1");
  EXPECT_EQ(StatusField(Control("status 1"), "open"), "0") << "the other node is left alone";
}

// Gives the HID device of `devnode` a report descriptor in the testbed's
// sysfs, as the kernel shows one for every HID device.
bool DescribeReports(const std::string& devnode, const std::vector<std::uint8_t>& descriptor) {
  for (const HidrawEntry& entry : ListHidraw()) {
    if (entry.devnode != devnode) continue;
    const std::string hid = entry.syspath.substr(0, entry.syspath.rfind("/hidraw/"));
    FILE* file = std::fopen((hid + "/report_descriptor").c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(descriptor.data(), 1, descriptor.size(), file) == descriptor.size();
    return std::fclose(file) == 0 && written;
  }
  return false;
}

TEST_F(HidrawSource, OfTwoNodesWithTheSameIdsOnlyTheOneWithTheVendorReportsIsOpened) {
  // A vendor collection with unnumbered 64-byte reports both ways, and a
  // keyboard's: what two HID interfaces of one controller show.
  const std::vector<std::uint8_t> vendor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                            0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                            0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};
  const std::vector<std::uint8_t> keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0,
                                              0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,
                                              0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0xC0};
  ASSERT_TRUE(DescribeReports("/dev/hidraw0", keyboard));
  ASSERT_TRUE(DescribeReports("/dev/hidraw1", vendor));
  Begin();
  ASSERT_EQ(recorder_.arrived.size(), 1u);
  EXPECT_EQ(recorder_.arrived[0].second.path, "/dev/hidraw1");
  EXPECT_EQ(StatusField(Control("status 1"), "open"), "0") << "the keyboard interface is left alone";
  EXPECT_TRUE(recorder_.unavailable.empty());
}

TEST_F(HidrawSource, ReportsBothWaysThenRemovalToldOnceHoweverItIsLearnt) {
  Begin();
  ASSERT_EQ(recorder_.arrived.size(), 1u);
  const DeviceId id = recorder_.arrived[0].first;
  const Report request = VersionRequest();
  ASSERT_EQ(source_->WriteReport(id, request.data(), request.size()), WriteResult::Written);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.reports.empty(); }));
  ASSERT_EQ(recorder_.reports[0].second.size(), 64u) << "one report per read, its own length";
  EXPECT_EQ(recorder_.reports[0].second[5], 0x04) << "the version report";

  // Unplugged: the write that follows fails at once as gone, and the udev
  // event comes too; the client hears of the removal once.
  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);
  EXPECT_EQ(source_->WriteReport(id, request.data(), request.size()), WriteResult::Gone);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.removed.empty(); }));
  Settle();
  EXPECT_EQ(recorder_.removed, std::vector<DeviceId>{id});
  EXPECT_EQ(source_->WriteReport(id, request.data(), request.size()), WriteResult::Gone);

  // Plugged in again: a new arrival with a new id.
  ASSERT_EQ(Control("attach").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 2; }));
  EXPECT_NE(recorder_.arrived[1].first, id);
}

TEST_F(HidrawSource, AWriteTheDeviceDoesNotTakeFailsWithinASecondAndTheDeviceStays) {
  const DeviceId id = BeginUpToAStall();
  ASSERT_NE(id, 0u);
  const std::uint8_t chunk[32] = {};
  // The identity and the acknowledgement of the header; the chunk gets none.
  // (Taken now: the emulation serves one call at a time on a descriptor, so
  // a read would wait behind the write below.)
  ASSERT_TRUE(RunUntil([&] { return recorder_.reports.size() == 2; }));
  // From here the controller takes nothing: the next write waits in the
  // kernel, and is given up.
  const Report next = DataCommand(chunk, sizeof chunk);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(source_->WriteReport(id, next.data(), next.size()), WriteResult::Failed);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(2500));
  Settle();
  EXPECT_TRUE(recorder_.removed.empty()) << "a device that takes nothing is still there";

  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);  // lets the waiting write go
  ASSERT_TRUE(RunUntil([&] { return !recorder_.removed.empty(); }));
  EXPECT_EQ(recorder_.removed.size(), 1u);
}

// Descriptors of this process open on emulated nodes (each node is a pty).
std::size_t OpenPtys() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("/dev/pts/", 0) == 0)
        ++count;
    }
    closedir(dir);
  }
  return count;
}

TEST_F(HidrawSource, GoesAtOnceWithAWriteHeldAndClosesTheNodeOnlyOnceTheWriteEnds) {
  const DeviceId id = BeginUpToAStall();
  ASSERT_NE(id, 0u);
  const std::uint8_t chunk[32] = {};
  ASSERT_TRUE(RunUntil([&] { return recorder_.reports.size() == 2; }));
  const Report next = DataCommand(chunk, sizeof chunk);
  ASSERT_EQ(source_->WriteReport(id, next.data(), next.size()), WriteResult::Failed);

  // The program ends its run with that write still in the kernel: the
  // source goes without waiting for it, and the node's last close (which
  // would wait for hidraw's lock) is left to the writer's thread.
  const std::size_t nodesOpen = OpenPtys();
  ASSERT_GE(nodesOpen, 1u);
  const auto before = std::chrono::steady_clock::now();
  source_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_EQ(OpenPtys(), nodesOpen) << "closed under the held write";
  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);  // lets the held write go
}

TEST_F(HidrawSource, ANodeTheUserMayNotOpenIsToldWithTheReasonOnce) {
  Begin();
  ASSERT_EQ(recorder_.unavailable.size(), 1u);
  EXPECT_EQ(recorder_.unavailable[0].first, "/dev/hidraw0");
  EXPECT_EQ(recorder_.unavailable[0].second, "permission denied");
  ASSERT_EQ(recorder_.arrived.size(), 1u) << "the other controller is opened all the same";
  EXPECT_EQ(recorder_.arrived[0].second.path, "/dev/hidraw1");
}

// The uevent sockets umockdev has made in the testbed for this program's
// monitors, one per monitor, named after its descriptor.
std::set<std::string> EventSockets() {
  std::set<std::string> names;
  const char* root = std::getenv("UMOCKDEV_DIR");
  if (root == nullptr) return names;
  if (DIR* dir = opendir(root)) {
    while (const dirent* entry = readdir(dir)) {
      if (std::string(entry->d_name).rfind("event", 0) == 0) names.insert(std::string(root) + "/" + entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

// With the monitor deaf (uevents missed), the node's failed read tells of
// the unplug, and listing the nodes again finds the controller plugged in
// anew and its return in application mode, and lets that go when it goes.
TEST_F(HidrawSource, WithUeventsMissedTheReadTellsRemovalAndTheListingTheRest) {
  const std::set<std::string> before = EventSockets();
  Begin();
  ASSERT_EQ(recorder_.arrived.size(), 1u);
  const DeviceId id = recorder_.arrived[0].first;
  // The source's monitor stops hearing uevents: udev stays silent about
  // the unplug, and only the node's failed read tells of it.
  std::set<std::string> mine;
  for (const std::string& name : EventSockets())
    if (before.count(name) == 0) mine.insert(name);
  ASSERT_EQ(mine.size(), 1u) << "the source's monitor socket";
  ASSERT_EQ(unlink(mine.begin()->c_str()), 0);

  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.removed.empty(); })) << "a failed read must count as removal";
  EXPECT_EQ(recorder_.removed, std::vector<DeviceId>{id});

  ASSERT_EQ(Control("attach").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 2; })) << "plugged in again, unheard";
  const Report completion = CompletionCommand();
  ASSERT_EQ(source_->WriteReport(recorder_.arrived[1].first, completion.data(), completion.size()),
            WriteResult::Written);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.seen.empty(); })) << "its return in application mode, unheard";
  EXPECT_EQ(recorder_.seen[0].productId, 0x5751u);
  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.unseen.empty(); })) << "the application-mode node going, unheard";
  EXPECT_EQ(recorder_.arrived.size(), 2u) << "each arrival told once, however often listed";
}

// Plugging, unplugging and the controller's return in its application mode
// are heard alike from udev and, where no udev daemon runs, from the kernel.
class HidrawSourceUevents : public HidrawSource, public testing::WithParamInterface<HidrawDeviceSource::Uevents> {};

TEST_P(HidrawSourceUevents, PlugUnplugAndTheReturnInApplicationModeAreHeard) {
  Begin(KorvidControllers(), GetParam());
  ASSERT_EQ(recorder_.arrived.size(), 1u);
  const DeviceId first = recorder_.arrived[0].first;

  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.removed.empty(); }));
  EXPECT_EQ(recorder_.removed, std::vector<DeviceId>{first});

  ASSERT_EQ(Control("attach").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 2; })) << "plugged in again";
  const DeviceId second = recorder_.arrived[1].first;
  EXPECT_EQ(recorder_.arrived[1].second.productId, 0x5750u);

  // The completion command: the controller restarts in its application mode.
  const Report completion = CompletionCommand();
  ASSERT_EQ(source_->WriteReport(second, completion.data(), completion.size()), WriteResult::Written);
  ASSERT_TRUE(RunUntil([&] { return recorder_.removed.size() == 2 && !recorder_.seen.empty(); }));
  EXPECT_EQ(recorder_.removed[1], second);
  EXPECT_EQ(recorder_.seen[0].productId, 0x5751u) << "back in its application mode";

  ASSERT_EQ(Control("unplug").rfind("ok", 0), 0u);
  ASSERT_TRUE(RunUntil([&] { return !recorder_.unseen.empty(); }));
  EXPECT_EQ(recorder_.unseen[0].productId, 0x5751u);
}

INSTANTIATE_TEST_SUITE_P(Heard, HidrawSourceUevents,
                         testing::Values(HidrawDeviceSource::Uevents::FromUdev,
                                         HidrawDeviceSource::Uevents::FromKernel),
                         [](const testing::TestParamInfo<HidrawDeviceSource::Uevents>& info) {
                           return info.param == HidrawDeviceSource::Uevents::FromKernel ? "FromKernel" : "FromUdev";
                         });

}  // namespace
