// The controller served as a device: the engine updates it through the
// service as a front-end in another process would, on a clock the test
// moves; the device appears, vanishes and comes back as the link reports it.
#include "controller_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine.h"
#include "sample_firmware.h"
#include "temp_dir.h"

namespace {

// The link as the front-end's side sees it: appearances, and the reports
// that reach the host.
class RecordingLink final : public DeviceLink {
 public:
  bool Appear(const DeviceIdentity& identity) override {
    events.push_back("appear " + std::to_string(identity.productId));
    present = true;
    return true;
  }
  void Vanish() override {
    events.push_back("vanish");
    present = false;
  }
  void SendInput(const Report& report) override { inbox.push_back(report); }
  void StopReading() override { events.push_back("stop reading"); }

  std::vector<std::string> events;
  std::vector<Report> inbox;
  bool present = false;
};

// A front-end whose reports go to the service at the test's clock.
class LinkedFrontEnd final : public FrontEnd {
 public:
  LinkedFrontEnd(ControllerService& service, uint64_t& nowUs, std::filesystem::path file)
      : service_(service), nowUs_(nowUs), file_(std::move(file)) {}
  Status WriteReport(DeviceTarget, const uint8_t (&report)[kReportSize]) override {
    Report copy;
    std::copy(std::begin(report), std::end(report), copy.begin());
    service_.OnOutputReport(copy, nowUs_);
    ++written;
    return 1;
  }
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest&) override { return file_; }
  ConfirmAnswer AskConfirmation(DeviceTarget, const ConfirmationRequest&) override { return ConfirmAnswer::Ok; }
  void ShowDeviceVersion(std::string_view text) override { version = text; }
  void ShowMessage(const UserMessage& message) override { messages.emplace_back(message.text); }
  void ShowProgress(uint32_t) override {}
  void EnableUpdateButton(ButtonRule) override {}

  int written = 0;
  std::string version;
  std::vector<std::string> messages;

 private:
  ControllerService& service_;
  uint64_t& nowUs_;
  std::filesystem::path file_;
};

class ControllerServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    SampleFirmware firmware;
    firmware.payload = MakeSamplePayload(32 * 20 + 5);
    payload_ = firmware.payload;
    file_ = dir_.File("fw.dat", FirmwareFileBytes(firmware));
  }
  void TearDown() override { EngineShutDown(); }

  void Serve(ServiceOptions options) {
    service_.emplace(options, link_);
    ui_.emplace(*service_, now_, file_);
    EngineStartUp(EngineSetup{Platform::Windows, &*ui_, nullptr});
    service_->Start(now_);
  }

  // The host's read loop: every report that arrived goes to the engine, and
  // the host answers `hostDelayUs` after the report arrived.
  void RunUntil(const std::function<bool()>& done, uint64_t hostDelayUs = 100, uint64_t limitUs = 60'000'000) {
    while (!done() && now_ < limitUs) {
      const uint64_t due = service_->Poll(now_);
      if (!link_.inbox.empty()) {
        const Report report = link_.inbox.front();
        link_.inbox.erase(link_.inbox.begin());
        now_ += hostDelayUs;
        OnDataReceived(0, PACKET_TYPE_HID, report.data() + 1, report[0]);
        continue;
      }
      now_ = due == ControllerService::kNever ? now_ + 1000 : std::max(due, now_ + 1);
    }
  }

  TempDir dir_;
  std::filesystem::path file_;
  std::vector<uint8_t> payload_;
  uint64_t now_ = 0;
  RecordingLink link_;
  std::optional<ControllerService> service_;
  std::optional<LinkedFrontEnd> ui_;
};

TEST_F(ControllerServiceTest, UnpacedUpdateLeavesBootModeAndComesBackAsTheApplication) {
  ServiceOptions options;
  options.returnDelayUs = 300000;
  Serve(options);
  ASSERT_EQ(link_.events, std::vector<std::string>{"appear 22352"});

  SendFirmwarePacket(0, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
  RunUntil([&] { return !ui_->version.empty(); });
  EXPECT_EQ(ui_->version, "(Tindro V1.00)") << "no text table here; the version is what counts";

  ASSERT_TRUE(RequestFirmwareUpdate(0, PACKET_TYPE_HID));
  RunUntil([&] { return m_updateComplete.load(); });
  ASSERT_EQ(ui_->messages.size(), 1u);
  const SimulatedController& controller = *service_->Controller();
  EXPECT_TRUE(controller.ImageEquals(payload_));
  EXPECT_TRUE(controller.Violations().empty());
  EXPECT_EQ(link_.events, (std::vector<std::string>{"appear 22352", "vanish"}));

  const uint64_t completedAt = now_;
  RunUntil([&] { return link_.present; });
  EXPECT_EQ(link_.events.back(), "appear 22353") << "back as the application, product 0x5751";
  EXPECT_GE(now_ - completedAt, 300000u);
  EXPECT_NE(service_->Control("status", now_).find("attached=1 boot=0 vid=0x2DC8 pid=0x5751"), std::string::npos)
      << service_->Control("status", now_);
}

TEST_F(ControllerServiceTest, PacedLinkTakesOneReportPerFrameAndAQuickHostNeedsNoMoreFrames) {
  ServiceOptions options;
  options.paced = true;
  Serve(options);
  RequestFirmwareUpdate(0, PACKET_TYPE_HID);
  // Success shows as the completion goes out; the controller takes it at
  // the next boundary.
  RunUntil([&] { return service_->Stats().completionAtUs.has_value(); }, /*hostDelayUs=*/200);
  ASSERT_EQ(ui_->messages.size(), 1u);
  const ServiceStats& stats = service_->Stats();
  ASSERT_TRUE(stats.headerAtUs && stats.completionAtUs);
  // Header, 21 chunks, completion: one frame each, taken at boundaries.
  const uint64_t reports = stats.reportsTakenAtCompletion - stats.reportsTakenAtHeader + 1;
  EXPECT_EQ(reports, 23u);
  EXPECT_EQ(*stats.headerAtUs % ControllerService::kFrameUs, 0u);
  EXPECT_EQ((*stats.completionAtUs - *stats.headerAtUs) / ControllerService::kFrameUs + 1, reports);
}

TEST_F(ControllerServiceTest, PacedControllerComesBackAsTheApplicationAndStays) {
  ServiceOptions options;
  options.paced = true;
  options.returnDelayUs = 300000;
  Serve(options);
  RequestFirmwareUpdate(0, PACKET_TYPE_HID);
  RunUntil([&] { return m_updateComplete.load() && !link_.present; });
  RunUntil([&] { return link_.present; });
  ASSERT_EQ(link_.events.back(), "appear 22353");
  // The application's device stays, frame after frame, until it is unplugged.
  const uint64_t cameBackAt = now_;
  RunUntil([&] { return now_ >= cameBackAt + 3 * options.returnDelayUs; });
  EXPECT_EQ(link_.events, (std::vector<std::string>{"appear 22352", "vanish", "appear 22353"}));
  EXPECT_TRUE(link_.present);
}

TEST_F(ControllerServiceTest, PacedLinkWithASlowHostLosesAFrameEachTime) {
  ServiceOptions options;
  options.paced = true;
  Serve(options);
  RequestFirmwareUpdate(0, PACKET_TYPE_HID);
  RunUntil([&] { return service_->Stats().completionAtUs.has_value(); }, /*hostDelayUs=*/1200);
  const ServiceStats& stats = service_->Stats();
  ASSERT_TRUE(stats.headerAtUs && stats.completionAtUs);
  EXPECT_EQ((*stats.completionAtUs - *stats.headerAtUs) / ControllerService::kFrameUs + 1, 2 * 23u - 1);
}

TEST_F(ControllerServiceTest, UnplugFaultVanishesAndControlBringsItBackWithoutRepeatingTheFault) {
  ServiceOptions options;
  options.controller.fault = FaultPlan{FaultKind::Unplug, ControllerStep::Chunk, 3};
  Serve(options);
  RequestFirmwareUpdate(0, PACKET_TYPE_HID);
  RunUntil([&] { return !link_.present; }, 100, 1'000'000);
  EXPECT_EQ(link_.events.back(), "vanish");
  EXPECT_EQ(service_->Controller()->DataCommandsReceived(), 3u);
  EXPECT_TRUE(service_->Stats().faultAtUs.has_value()) << "the moment of the unplug";
  const int writtenBefore = ui_->written;
  ControllerRemoved();  // what the front-end does when it learns of the removal
  EXPECT_EQ(ui_->messages.size(), 1u);
  EXPECT_EQ(service_->Control("status", now_).rfind("attached=0", 0), 0u);

  EXPECT_EQ(service_->Control("attach", now_), "ok attached");
  EXPECT_EQ(link_.events.back(), "appear 22352");
  EXPECT_EQ(ui_->written, writtenBefore);
  RequestFirmwareUpdate(0, PACKET_TYPE_HID);
  RunUntil([&] { return m_updateComplete.load(); });
  EXPECT_TRUE(service_->Controller()->ImageEquals(payload_)) << "the second update runs to the end";
}

TEST_F(ControllerServiceTest, StopReadingFaultLeavesDataCommandNUnansweredAndTakesNothingMore) {
  for (const bool paced : {false, true}) {
    SCOPED_TRACE(paced ? "paced" : "unpaced");
    link_ = RecordingLink{};
    now_ = 0;
    ServiceOptions options;
    options.paced = paced;
    options.stopReadingAtChunk = 4;
    Serve(options);
    RequestFirmwareUpdate(0, PACKET_TYPE_HID);
    RunUntil([&] { return service_->Stats().faultAtUs.has_value(); }, 100, 1'000'000);
    ASSERT_EQ(link_.events, (std::vector<std::string>{"appear 22352", "stop reading"}));
    RunUntil([] { return false; }, 100, now_ + 50'000);
    EXPECT_TRUE(link_.inbox.empty()) << "data command 4 went unanswered";
    const uint64_t taken = service_->Stats().reportsTaken;
    Rfcomm_DriverCmd(0, PACKET_TYPE_HID, MSG_READ_FAILED, 0);
    RunUntil([] { return false; }, 100, now_ + 50'000);
    EXPECT_EQ(service_->Stats().reportsTaken, taken) << "a report reaching the service is not taken";
    EXPECT_EQ(service_->Controller()->DataCommandsReceived(), 4u);

    // Plugged in again it takes reports, and the fault does not strike again.
    ControllerRemoved();
    EXPECT_EQ(service_->Control("reattach", now_), "ok attached");
    Rfcomm_DriverCmd(0, PACKET_TYPE_HID, MSG_READ_FAILED, 0);
    RequestFirmwareUpdate(0, PACKET_TYPE_HID);
    RunUntil([&] { return m_updateComplete.load(); });
    EXPECT_TRUE(service_->Controller()->ImageEquals(payload_));
    const std::string status = service_->Control("status", now_);
    EXPECT_EQ(status.substr(status.rfind(' ') + 1), "read_failed=1") << "only the notice taken counts";
    EngineShutDown();
  }
}

// Held by the control command (paced and not), or by the option after
// chunk 3: nothing is handled or answered meanwhile, and after the release
// what was taken comes through whole, in order.
TEST_F(ControllerServiceTest, AHeldControllerAnswersNothingAndOnReleaseHandlesWhatItTookInOrder) {
  struct Case {
    bool paced;
    uint32_t holdAfterChunk;  // 0: held by the command
  };
  for (const Case c : {Case{false, 0}, Case{true, 0}, Case{false, 3}}) {
    SCOPED_TRACE(std::string(c.paced ? "paced" : "unpaced") + (c.holdAfterChunk ? ", after chunk 3" : ", by command"));
    link_ = RecordingLink{};
    now_ = 0;
    ServiceOptions options;
    options.paced = c.paced;
    options.holdAfterChunk = c.holdAfterChunk;
    Serve(options);
    EXPECT_EQ(service_->Control("release", now_), "ok not held");
    RequestFirmwareUpdate(0, PACKET_TYPE_HID);
    RunUntil([&] { return service_->Controller()->DataCommandsReceived() >= 3; });
    if (c.holdAfterChunk == 0) {
      EXPECT_EQ(service_->Control("hold", now_), "ok held");
    }
    RunUntil([&] { return link_.inbox.empty(); });
    const uint32_t before = service_->Controller()->DataCommandsReceived();
    RunUntil([] { return false; }, 100, now_ + 200'000);
    EXPECT_EQ(service_->Controller()->DataCommandsReceived(), before) << "nothing handled while held";
    EXPECT_TRUE(link_.inbox.empty()) << "nothing answered while held";
    if (c.holdAfterChunk != 0) {
      EXPECT_EQ(before, 3u) << "chunk 4 was written, and held";
    }

    EXPECT_EQ(service_->Control("release", now_), "ok released");
    RunUntil([&] { return m_updateComplete.load(); });
    EXPECT_TRUE(service_->Controller()->ImageEquals(payload_)) << "what was held came through whole, in order";
    if (c.holdAfterChunk != 0) {
      EXPECT_EQ(service_->Control("hold", now_), "ok held") << "the hold after a chunk strikes once";
    }
    EngineShutDown();
  }
}

TEST_F(ControllerServiceTest, ControlCommands) {
  ServiceOptions options;
  options.attachAtStart = false;
  Serve(options);
  EXPECT_TRUE(link_.events.empty()) << "attached later";
  EXPECT_EQ(service_->Control("status", now_).rfind("attached=0", 0), 0u);
  EXPECT_EQ(service_->Control("unplug", now_), "ok not attached");
  EXPECT_EQ(service_->Control("attach\r\n", now_), "ok attached");
  EXPECT_EQ(service_->Control("attach", now_), "ok already attached");
  EXPECT_EQ(service_->Control("reattach", now_), "ok attached");
  EXPECT_EQ(link_.events, (std::vector<std::string>{"appear 22352", "vanish", "appear 22352"}));
  EXPECT_EQ(service_->Control("image", now_), "error image takes a file name");
  EXPECT_EQ(service_->Control("image " + (dir_ / "image.bin").string(), now_), "ok 0");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "image.bin"));
  EXPECT_EQ(service_->Control("frobnicate", now_), "error unknown command: frobnicate");
  EXPECT_FALSE(service_->QuitRequested());
  EXPECT_EQ(service_->Control("quit", now_), "ok");
  EXPECT_TRUE(service_->QuitRequested());
}

}  // namespace
