#include "engine_test_support.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace enginetest {

Status WriteOk(Platform platform) { return platform == Platform::Macos ? 0 : 1; }
Status WriteFailed(Platform platform) { return platform == Platform::Macos ? kMacosError : 0; }
Status GeneralError(Platform platform) { return platform == Platform::Macos ? kMacosError : -1; }

// ---- RecordingFrontEnd -------------------------------------------------------

RecordingFrontEnd::RecordingFrontEnd(Platform platform, TextLanguage language)
    : defaultAnswer(platform == Platform::Macos ? ConfirmAnswer::Pending : ConfirmAnswer::Ok),
      platform_(platform),
      language_(language) {}

Status RecordingFrontEnd::WriteReport(DeviceTarget target, const uint8_t (&report)[kReportSize]) {
  ReportBytes copy;
  std::copy(std::begin(report), std::end(report), copy.begin());
  reports.push_back(copy);
  reportTargets.push_back(target);
  log.push_back("report " + Hex(Counted(copy)));
  const bool ok = failingWrites.count(writesSeen_++) == 0;
  return ok ? WriteOk(platform_) : WriteFailed(platform_);
}

Status RecordingFrontEnd::WriteStream(DeviceTarget, const uint8_t* bytes, std::size_t size) {
  streams.emplace_back(bytes, bytes + size);
  log.push_back("stream " + Hex(streams.back()));
  return streamStatus ? *streamStatus : static_cast<Status>(size);
}

std::string RecordingFrontEnd::LoadText(int id) { return WindowsText(id, language_); }

std::optional<std::filesystem::path> RecordingFrontEnd::ChooseFirmwareFile(const FileChoiceRequest& request) {
  fileChoices.push_back(AskedFile{std::string(request.filterText), std::string(request.extension)});
  log.push_back("choose file");
  if (onChooseFile) onChooseFile();
  if (files.empty()) return std::nullopt;
  std::optional<std::filesystem::path> chosen = files.front();
  files.pop_front();
  return chosen;
}

ConfirmAnswer RecordingFrontEnd::AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) {
  confirmations.push_back(AskedConfirmation{target, std::string(request.title), std::string(request.text)});
  log.push_back("confirm " + std::string(request.text));
  if (onAskConfirmation) onAskConfirmation();
  if (answers.empty()) return defaultAnswer;
  const ConfirmAnswer answer = answers.front();
  answers.pop_front();
  return answer;
}

void RecordingFrontEnd::ShowDeviceVersion(std::string_view text) {
  versions.emplace_back(text);
  log.push_back("version " + std::string(text));
}

void RecordingFrontEnd::ShowMessage(const UserMessage& message) {
  messages.push_back(ShownBox{std::string(message.caption), std::string(message.text)});
  log.push_back("message " + std::string(message.text));
}

void RecordingFrontEnd::ShowProgress(uint32_t percent) {
  progress.push_back(percent);
  log.push_back("progress " + std::to_string(percent));
}

void RecordingFrontEnd::EnableUpdateButton(ButtonRule rule) {
  enables.push_back(rule);
  log.push_back("enable");
}

void RecordingFrontEnd::ShowUpgradedNotice() {
  ++upgradedNotices;
  log.push_back("notice");
}

void RecordingFrontEnd::TransferStarted() {
  ++transfersStarted;
  log.push_back("transfer started");
}

void RecordingFrontEnd::RunEnding(RunOutcome outcome) { outcomes.emplace_back(outcome, messages.size()); }

void RecordingFrontEnd::ClearRecords() {
  reports.clear();
  outcomes.clear();
  reportTargets.clear();
  streams.clear();
  fileChoices.clear();
  confirmations.clear();
  versions.clear();
  messages.clear();
  progress.clear();
  enables.clear();
  upgradedNotices = 0;
  transfersStarted = 0;
  log.clear();
}

// ---- Bytes -------------------------------------------------------------------

Bytes Counted(const ReportBytes& report) {
  const std::size_t count = std::min<std::size_t>(report[0], kMaxReportMessage);
  return Bytes(report.begin(), report.begin() + 1 + static_cast<std::ptrdiff_t>(count));
}

bool TailIsZero(const ReportBytes& report) {
  const std::size_t count = std::min<std::size_t>(report[0], kMaxReportMessage);
  return std::all_of(report.begin() + 1 + static_cast<std::ptrdiff_t>(count), report.end(),
                     [](uint8_t b) { return b == 0; });
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char two[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    if (i != 0) text += ' ';
    text += two;
  }
  return text;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  from = std::min(from, bytes.size());
  count = std::min(count, bytes.size() - from);
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes CommandFrame(uint8_t cmd, const Bytes& data) {
  if (data.empty()) return Bytes{0x00, 0x16, 0x01, 0x00, cmd};
  const std::size_t n = data.size();
  Bytes frame{0x00,
              0x16,
              static_cast<uint8_t>((n + 3) & 0xFF),
              static_cast<uint8_t>((n + 3) >> 8),
              cmd,
              static_cast<uint8_t>(n & 0xFF),
              static_cast<uint8_t>(n >> 8)};
  return Join(frame, data);
}

Bytes SingleReport(const Bytes& frame) { return Join(Bytes{static_cast<uint8_t>(frame.size())}, frame); }

Bytes DataReport(const Bytes& data) { return SingleReport(CommandFrame(SET_FIRMWARE_DATA, data)); }

Bytes CompletionReport() { return Bytes{0x05, 0x00, 0x16, 0x01, 0x00, 0x02}; }

Bytes HeaderReport(uint32_t fileVersion, uint32_t headerWord1, uint32_t payloadSize) {
  Bytes data(kFirmwareHeaderSize, 0);
  WriteLe32(data.data() + 0, fileVersion);
  WriteLe32(data.data() + 4, headerWord1);
  WriteLe32(data.data() + 8, payloadSize);
  return SingleReport(CommandFrame(SET_FIRMWARE_HEADER, data));
}

// ---- Messages ----------------------------------------------------------------

Message RawMessage(std::initializer_list<uint8_t> bytes) {
  Message message{};
  std::copy(bytes.begin(), bytes.end(), message.begin());
  return message;
}

Message VersionMessage(uint16_t version, uint16_t beta) {
  Message message = RawMessage({0x00, MSG_FIRMWARE, 0x07, 0x00, GET_FIRMWARE_VSION, 0x00, 0x00});
  WriteLe16(message.data() + 7, version);
  WriteLe16(message.data() + 9, beta);
  return message;
}

Message EventMessage(uint8_t event) { return RawMessage({0x00, MSG_FIRMWARE, 0x01, 0x00, event}); }

Message IdentityMessage(uint32_t firmwareType) {
  Message message = RawMessage({0x00, MSG_IDENTITY, 0x28, 0x00});
  for (std::size_t i = 4; i < kIdentityFirmwareTypeOffset; ++i) message[i] = static_cast<uint8_t>(0x30 + i);
  WriteLe32(message.data() + kIdentityFirmwareTypeOffset, firmwareType);
  return message;
}

void Deliver(const Message& message, uint8_t packetType, DeviceTarget target) {
  OnDataReceived(target, packetType, message.data(), static_cast<uint16_t>(message.size()));
}

// ---- Files -------------------------------------------------------------------

std::filesystem::path WriteFirmware(const std::filesystem::path& file, const SampleFirmware& firmware) {
  EXPECT_TRUE(WriteFirmwareFile(file, FirmwareFileBytes(firmware))) << file;
  return file;
}

void WriteRawFile(const std::filesystem::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(static_cast<bool>(out)) << file;
}

// ---- What the user saw ---------------------------------------------------------

ShownBox FailureBox(Platform platform) {
  if (platform == Platform::Macos) return {"", "Firmware update failure!"};
  return {"Korvid Tools v1.04", "Firmware update failure\n"};
}

ButtonRule FailureButtonRule(Platform platform) {
  return platform == Platform::Macos ? ButtonRule::Always : ButtonRule::IfControllerPresent;
}

void ExpectFailureShownOnce(const RecordingFrontEnd& ui, Platform platform) {
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].caption, FailureBox(platform).caption);
  EXPECT_EQ(ui.messages[0].text, FailureBox(platform).text);
  ASSERT_EQ(ui.enables.size(), 1u);
  EXPECT_EQ(ui.enables[0], FailureButtonRule(platform));
  EXPECT_TRUE(m_updateComplete);
  EXPECT_FALSE(m_handleFirmeWare.file.is_open());
}

// ---- Fixture -----------------------------------------------------------------

void EngineFixture::Start(Platform platform, TextLanguage language) {
  platform_ = platform;
  ui_ = std::make_unique<RecordingFrontEnd>(platform, language);
  EngineStartUp(EngineSetup{platform, ui_.get(), nullptr});
}

void EngineFixture::TearDown() { EngineStartUp(EngineSetup{platform_, nullptr, nullptr}); }

void EngineFixture::BeginUpdate(const std::filesystem::path& file, uint8_t packetType) {
  Ui().files.push_back(file);
  RequestFirmwareUpdate(kTarget, packetType);
  Deliver(IdentityMessage(1), packetType);
  if (platform_ == Platform::Macos) ConfirmationEnded(kTarget, true);
  ASSERT_EQ(g_firmware_update_state, UPDATE_HEADER_SENT);
  ASSERT_FALSE(m_updateComplete);
}

}  // namespace enginetest
