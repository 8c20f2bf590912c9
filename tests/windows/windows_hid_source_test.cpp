// The Windows device source against emulated controllers through Wine's own
// HID stack (hid.dll, setupapi.dll, hidclass.sys and winebus.sys over hidraw
// nodes), on the Windows event loop: each case plugs in the controllers it
// needs through the emulator's control channel and serves the loop until
// what it waits for has been told, within a generous bound.
#include <windows.h>
// TestController's, not the window function windows.h names so.
#undef SendMessage

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_source.h"
#include "test_controller.h"
#include "windows_event_loop.h"

using hiddevice::DeviceId;
using hiddevice::DeviceProperties;
using hiddevice::WindowsEventLoop;
using hiddevice::WriteResult;

namespace {

constexpr unsigned kToldWithinMs = 20000;
constexpr std::uint16_t kVendor = 0x2DC8;

ControllerConfig Identity(std::uint16_t productId) {
  ControllerConfig config;
  config.vendorId = kVendor;
  config.productId = productId;
  return config;
}

struct Recorder final : hiddevice::DeviceSourceClient {
  std::vector<std::pair<DeviceId, DeviceProperties>> arrived;
  std::vector<DeviceId> removed;
  std::vector<std::vector<std::uint8_t>> reports;
  std::vector<DeviceProperties> seen;
  std::vector<DeviceProperties> unseen;
  void DeviceArrived(DeviceId device, const DeviceProperties& properties) override {
    arrived.emplace_back(device, properties);
  }
  void DeviceRemoved(DeviceId device) override { removed.push_back(device); }
  void InputReport(DeviceId, const std::uint8_t* report, std::size_t length) override {
    reports.emplace_back(report, report + length);
  }
  void DeviceSeen(const DeviceProperties& properties) override { seen.push_back(properties); }
  void DeviceUnseen(const DeviceProperties& properties) override { unseen.push_back(properties); }
};

// Serves the loop until `done` holds or `ms` have passed; whether it held.
bool Serve(WindowsEventLoop& loop, const std::function<bool()>& done, unsigned ms = kToldWithinMs) {
  const ULONGLONG until = GetTickCount64() + ms;
  std::function<void()> look = [&] {
    if (done() || GetTickCount64() > until) {
      loop.Stop();
      return;
    }
    loop.After(20, look);
  };
  loop.After(0, look);
  loop.Run();
  return done();
}

struct SourceOnLoop {
  WindowsEventLoop loop;
  Recorder client;
  std::unique_ptr<hiddevice::DeviceSource> source;
  explicit SourceOnLoop(const hiddevice::DeviceSelection& selection = hiddevice::KorvidControllers())
      : source(hiddevice::CreateDeviceSource(loop, client, selection)) {
    source->Start();
  }
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

TEST(WindowsHidSource, TellsControllersTheirReportsBothWaysAndTheirRemovalOnce) {
  TestController boot(Identity(kBootProductId));
  TestController application(Identity(0x5751));
  SourceOnLoop setup;
  ASSERT_TRUE(boot.Plug());
  ASSERT_TRUE(application.Plug());
  ASSERT_TRUE(Serve(setup.loop, [&] { return !setup.client.arrived.empty() && !setup.client.seen.empty(); }))
      << "arrived " << setup.client.arrived.size() << ", seen " << setup.client.seen.size();
  ASSERT_EQ(setup.client.arrived.size(), 1u);
  const auto [id, properties] = setup.client.arrived.front();
  std::printf("Wine gives: path %s, product \"%s\", serial \"%s\", port \"%s\"\n", properties.path.c_str(),
              properties.product.c_str(), properties.serial.c_str(), properties.port.c_str());
  EXPECT_EQ(properties.vendorId, kVendor);
  EXPECT_EQ(properties.productId, kBootProductId);
  EXPECT_EQ(Lower(properties.path).rfind("\\\\?\\hid#vid_2dc8&pid_5750", 0), 0u) << properties.path;
  EXPECT_EQ(properties.serial.rfind("KV", 0), 0u) << properties.serial;
  EXPECT_FALSE(properties.product.empty());
  EXPECT_EQ(setup.client.seen.front().productId, 0x5751u);

  // Out: the report as written reaches the controller whole, after report ID 0.
  std::uint8_t report[kReportSize] = {};
  for (std::size_t i = 0; i < kReportSize; ++i) report[i] = static_cast<std::uint8_t>(0xA0 + i);
  EXPECT_EQ(setup.source->WriteReport(id, report, kReportSize), WriteResult::Written);
  const std::vector<Report> written = boot.Written();
  ASSERT_FALSE(written.empty());
  EXPECT_TRUE(std::equal(report, report + kReportSize, written.back().begin()));
  // In: the count byte first, 64 bytes, no report ID.
  boot.SendMessage({0x00, 0x42, 0x01, 0x02});
  ASSERT_TRUE(Serve(setup.loop, [&] { return !setup.client.reports.empty(); }));
  const std::vector<std::uint8_t>& got = setup.client.reports.back();
  ASSERT_EQ(got.size(), kReportSize);
  EXPECT_EQ(got[0], 4u);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin() + 1, got.begin() + 5), (std::vector<std::uint8_t>{0, 0x42, 1, 2}));

  boot.Unplug();
  application.Unplug();
  ASSERT_TRUE(Serve(setup.loop, [&] { return !setup.client.removed.empty() && !setup.client.unseen.empty(); }));
  Serve(setup.loop, [] { return false; }, 2500);  // the notice, the listing and the failed read all came by now
  EXPECT_EQ(setup.client.removed, std::vector<DeviceId>(1, id));
  EXPECT_EQ(setup.client.unseen.size(), 1u);
  EXPECT_EQ(setup.source->WriteReport(id, report, kReportSize), WriteResult::Gone);
}

TEST(WindowsHidSource, AWriteTheControllerDoesNotTakeFailsWithinTheBoundAndTheNextAtOnce) {
  TestController controller(Identity(kBootProductId));
  SourceOnLoop setup;
  ASSERT_TRUE(controller.Plug());
  ASSERT_TRUE(Serve(setup.loop, [&] { return !setup.client.arrived.empty(); }));
  const DeviceId id = setup.client.arrived.front().first;
  controller.StopReading();
  const std::uint8_t report[kReportSize] = {0x05, 0x00, 0x11};
  const auto started = std::chrono::steady_clock::now();
  const WriteResult first = setup.source->WriteReport(id, report, kReportSize);
  const auto firstTook = std::chrono::steady_clock::now() - started;
  const WriteResult second = setup.source->WriteReport(id, report, kReportSize);
  const auto bothTook = std::chrono::steady_clock::now() - started;
  std::printf("a write not taken failed after %lld ms, the next after %lld ms more\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(firstTook).count()),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(bothTook - firstTook).count()));
  EXPECT_EQ(first, WriteResult::Failed);
  EXPECT_EQ(second, WriteResult::Failed);
  EXPECT_GE(firstTook, std::chrono::milliseconds(900));
  EXPECT_LT(firstTook, std::chrono::milliseconds(2000));
  EXPECT_LT(bothTook - firstTook, std::chrono::milliseconds(200));
  controller.Unplug();
  EXPECT_TRUE(Serve(setup.loop, [&] { return !setup.client.removed.empty(); }));
}

TEST(WindowsHidSource, WithAPathOnlyThatControllerIsOpened) {
  TestController first(Identity(kBootProductId));
  TestController second(Identity(kBootProductId));
  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(second.Plug());
  std::vector<DeviceProperties> both;
  {
    SourceOnLoop all;
    ASSERT_TRUE(Serve(all.loop, [&] { return all.client.arrived.size() == 2; }));
    for (const auto& entry : all.client.arrived) both.push_back(entry.second);
  }
  for (const DeviceProperties& named : both) {
    hiddevice::DeviceSelection selection = hiddevice::KorvidControllers();
    // The system's notices spell it in upper case: any spelling names it.
    std::string upper = named.path;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    selection.onlyPath = upper;
    SourceOnLoop only(selection);
    Serve(only.loop, [] { return false; }, 2500);  // a listing more than the first
    ASSERT_EQ(only.client.arrived.size(), 1u);
    EXPECT_EQ(only.client.arrived.front().second.path, named.path);
  }
  first.Unplug();
  second.Unplug();
}
