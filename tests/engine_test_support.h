// Helpers shared by the engine's unit tests: a front-end that records every
// operation the engine asks for (reports go to memory), builders for the
// controller's messages, expected report bytes and a per-test temp folder.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine.h"
#include "frontend.h"
#include "param_printers.h"
#include "sample_firmware.h"
#include "temp_dir.h"
#include "windows_text_table.h"

namespace enginetest {

using Bytes = std::vector<uint8_t>;
using ReportBytes = std::array<uint8_t, kReportSize>;
// A message from the controller as OnDataReceived gets it: report bytes 1..63.
using Message = std::array<uint8_t, kMaxReportMessage>;

constexpr DeviceTarget kTarget = 0x5750;
constexpr Status kMacosError = static_cast<Status>(0xE00002BC);

// The write status a platform's report writer gives.
Status WriteOk(Platform platform);
Status WriteFailed(Platform platform);
// The engine's general error on a platform (-1 or kIOReturnError).
Status GeneralError(Platform platform);

struct PlatformParamName {
  std::string operator()(const testing::TestParamInfo<Platform>& info) const { return PlatformName(info.param); }
};

struct ShownBox {
  std::string caption;
  std::string text;
};

struct AskedConfirmation {
  DeviceTarget target;
  std::string title;
  std::string text;
};

struct AskedFile {
  std::string filterText;
  std::string extension;
};

// A front-end that answers as scripted and remembers everything it was asked.
class RecordingFrontEnd final : public FrontEnd {
 public:
  explicit RecordingFrontEnd(Platform platform, TextLanguage language = TextLanguage::English);

  Status WriteReport(DeviceTarget target, const uint8_t (&report)[kReportSize]) override;
  Status WriteStream(DeviceTarget target, const uint8_t* bytes, std::size_t size) override;
  std::string LoadText(int id) override;
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest& request) override;
  ConfirmAnswer AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) override;
  void ShowDeviceVersion(std::string_view text) override;
  void ShowMessage(const UserMessage& message) override;
  void ShowProgress(uint32_t percent) override;
  void EnableUpdateButton(ButtonRule rule) override;
  void ShowUpgradedNotice() override;
  void TransferStarted() override;
  void RunEnding(RunOutcome outcome) override;

  // Forgets what was recorded; the script stays.
  void ClearRecords();

  // ---- Script
  std::deque<std::optional<std::filesystem::path>> files;  // one per file choice; none left: cancelled
  std::deque<ConfirmAnswer> answers;                       // one per confirmation; none left: default
  ConfirmAnswer defaultAnswer;                             // Windows Ok, macOS Pending
  std::set<std::size_t> failingWrites;                     // report writes (counted from 0) that fail
  std::optional<Status> streamStatus;                      // default: the byte count
  std::function<void()> onChooseFile;                      // runs while the file choice is open
  std::function<void()> onAskConfirmation;                 // runs while the confirmation is open

  // ---- Records
  std::vector<ReportBytes> reports;  // every report write, failed ones included
  std::vector<DeviceTarget> reportTargets;
  std::vector<Bytes> streams;
  std::vector<AskedFile> fileChoices;
  std::vector<AskedConfirmation> confirmations;
  std::vector<std::string> versions;
  std::vector<ShownBox> messages;
  std::vector<uint32_t> progress;
  std::vector<ButtonRule> enables;
  int upgradedNotices = 0;
  int transfersStarted = 0;
  // How runs ended, with the number of messages shown before each was told.
  std::vector<std::pair<RunOutcome, std::size_t>> outcomes;
  std::vector<std::string> log;  // every operation in order, in words

 private:
  Platform platform_;
  TextLanguage language_;
  std::size_t writesSeen_ = 0;
};

// ---- Bytes -----------------------------------------------------------------

// The count byte and the message bytes it counts.
Bytes Counted(const ReportBytes& report);
// Every byte past the count is zero.
bool TailIsZero(const ReportBytes& report);
std::string Hex(const Bytes& bytes);
Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count);
Bytes Join(Bytes a, const Bytes& b);

// The MSG_FIRMWARE command frame the engine builds for `cmd` and `data`.
Bytes CommandFrame(uint8_t cmd, const Bytes& data);
// A frame that fits one report, as that report's counted bytes.
Bytes SingleReport(const Bytes& frame);
// The counted bytes of a SET_FIRMWARE_DATA report carrying `data` (<= 32 bytes).
Bytes DataReport(const Bytes& data);
Bytes CompletionReport();
// SET_FIRMWARE_HEADER report for the three header words; bytes 12..27 zero.
Bytes HeaderReport(uint32_t fileVersion, uint32_t headerWord1, uint32_t payloadSize);

// ---- Messages from the controller ---------------------------------------

Message RawMessage(std::initializer_list<uint8_t> bytes);
Message VersionMessage(uint16_t version, uint16_t beta);
Message EventMessage(uint8_t event);
Message IdentityMessage(uint32_t firmwareType);
void Deliver(const Message& message, uint8_t packetType = PACKET_TYPE_HID, DeviceTarget target = kTarget);

// ---- Files -------------------------------------------------------------------

std::filesystem::path WriteFirmware(const std::filesystem::path& file, const SampleFirmware& firmware);
void WriteRawFile(const std::filesystem::path& file, const Bytes& bytes);

// ---- What the user saw ---------------------------------------------------------

// The failure message of a platform, and the button rule that goes with it.
ShownBox FailureBox(Platform platform);
ButtonRule FailureButtonRule(Platform platform);
// Exactly one message, the failure, and one button enable; the run is over.
void ExpectFailureShownOnce(const RecordingFrontEnd& ui, Platform platform);

// ---- Fixture ---------------------------------------------------------------

// Starts the engine with a recording front-end; detaches it afterwards so no
// engine state points into a finished test.
class EngineFixture : public testing::Test {
 protected:
  void TearDown() override;

  void Start(Platform platform, TextLanguage language = TextLanguage::English);
  RecordingFrontEnd& Ui() { return *ui_; }
  Platform CurrentPlatform() const { return platform_; }

  // Update request, identity of type 1 with `file` as the user's choice, and
  // on macOS the confirmation's OK. Afterwards the header command is out.
  void BeginUpdate(const std::filesystem::path& file, uint8_t packetType = PACKET_TYPE_HID);
  void Ack(uint8_t packetType = PACKET_TYPE_HID) { Deliver(EventMessage(FIRMWARE_ACK), packetType); }

  TempDir dir_;

 private:
  std::unique_ptr<RecordingFrontEnd> ui_;
  Platform platform_ = Platform::Windows;
};

class EnginePlatformFixture : public EngineFixture, public testing::WithParamInterface<Platform> {
 protected:
  void SetUp() override { Start(GetParam()); }
};

}  // namespace enginetest
