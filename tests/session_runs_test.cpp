// Whole updates against the simulated controller, on both platforms: payload
// sizes, the report-by-report transcript, refusals that send nothing, the
// firmware types, factory firmware, the Chinese texts and stuck runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "param_printers.h"
#include "protocol.h"
#include "sample_firmware.h"
#include "simulated_controller.h"
#include "simulated_frontend.h"
#include "temp_dir.h"
#include "transcript.h"
#include "update_session.h"

namespace fs = std::filesystem;

namespace {

const std::string kVersionRequestLine = "> 05 00 16 01 00 04";
const std::string kUpdateRequestLine = "> 05 00 1A 01 00 00";
const std::string kCompletionLine = "> 05 00 16 01 00 02";

// One whole session, its parts kept for inspection.
class Session {
 public:
  Session(Platform platform, ControllerConfig config, UserScript user)
      : controller(config), frontEnd(platform, controller, transcript, std::move(user)) {
    options.platform = platform;
  }
  SessionResult Run(const fs::path* file) {
    result = RunUpdateSession(controller, frontEnd, transcript, file, options);
    return result;
  }
  std::vector<std::string> WrittenReports() const {
    std::vector<std::string> lines;
    for (const std::string& line : transcript.Lines())
      if (line.rfind("> ", 0) == 0) lines.push_back(line);
    return lines;
  }
  bool MessageShownContaining(const std::string& words) const {
    for (const ShownMessage& message : frontEnd.Messages())
      if (message.text.find(words) != std::string::npos) return true;
    return false;
  }

  SimulatedController controller;
  Transcript transcript;
  SimulatedFrontEnd frontEnd;
  SessionOptions options;
  SessionResult result;
};

UserScript Choose(const fs::path& file) {
  UserScript user;
  user.firmwareFile = file;
  return user;
}

void ExpectUpdated(const Session& session, const std::vector<uint8_t>& payload) {
  EXPECT_EQ(session.result.end, SessionEnd::Updated) << session.result.outcome;
  EXPECT_TRUE(session.controller.ImageEquals(payload));
  EXPECT_EQ(session.controller.CompletionsReceived(), 1u);
  EXPECT_FALSE(session.controller.InBootMode());
  EXPECT_TRUE(session.result.successShown);
  EXPECT_FALSE(session.result.failureShown);
  EXPECT_TRUE(session.controller.Violations().empty()) << session.controller.Violations().front();
}

// ---- Payload sizes -------------------------------------------------------

class SessionPayloadSizes : public ::testing::TestWithParam<std::tuple<Platform, std::size_t>> {};

TEST_P(SessionPayloadSizes, EndUpdatedWithTheExactImage) {
  const auto [platform, size] = GetParam();
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(size, static_cast<uint32_t>(size));
  const fs::path file = dir.File("fw.dat", FirmwareFileBytes(firmware));

  Session session(platform, {}, Choose(file));
  session.Run(&file);
  ExpectUpdated(session, firmware.payload);

  // One data command per 32 bytes; a payload that fits in one chunk is
  // followed by an empty data command before the payload counts as sent.
  const std::size_t commands = size <= kHidChunkSize ? 2 : (size + kHidChunkSize - 1) / kHidChunkSize;
  EXPECT_EQ(session.controller.DataCommandsReceived(), commands);

  const std::vector<uint32_t>& progress = session.frontEnd.Progress();
  ASSERT_FALSE(progress.empty());
  const auto hundred = std::find(progress.begin(), progress.end(), 100u);
  ASSERT_NE(hundred, progress.end());
  EXPECT_TRUE(std::is_sorted(progress.begin(), hundred + 1));
  EXPECT_EQ(static_cast<std::size_t>(hundred - progress.begin()) + 1, commands - 1)
      << "a progress report after every data command from the second on";
}

INSTANTIATE_TEST_SUITE_P(Sizes, SessionPayloadSizes,
                         ::testing::Combine(::testing::Values(Platform::Windows, Platform::Macos),
                                            ::testing::Values(1, 31, 32, 33, 100, 1000, 4096 + 5)),
                         [](const auto& info) {
                           return std::string(PlatformName(std::get<0>(info.param))) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// ---- Runs on both platforms ----------------------------------------------

class SessionRuns : public ::testing::TestWithParam<Platform> {
 protected:
  Platform platform() const { return GetParam(); }
  TempDir dir_;
};

TEST_P(SessionRuns, HundredBytePayloadTranscript) {
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100);
  const fs::path file = dir_.File("fw100.dat", FirmwareFileBytes(firmware));
  Session session(platform(), {}, Choose(file));
  session.Run(&file);
  ExpectUpdated(session, firmware.payload);

  const uint8_t* p = firmware.payload.data();
  std::vector<std::string> expected = {
      kVersionRequestLine,
      kUpdateRequestLine,
      "> 23 00 16 1F 00 01 1C 00 6E 00 00 00 01 00 56 4B 64 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
      "> 27 00 16 23 00 00 20 00 " + Transcript::HexBytes(p, 32),
      "> 27 00 16 23 00 00 20 00 " + Transcript::HexBytes(p + 32, 32),
      "# progress 64",
      "> 27 00 16 23 00 00 20 00 " + Transcript::HexBytes(p + 64, 32),
      "# progress 96",
      "> 0B 00 16 07 00 00 04 00 " + Transcript::HexBytes(p + 96, 4),
      "# progress 100",
      kCompletionLine,
  };
  if (platform() == Platform::Windows) expected.push_back("# progress 0");  // the bar is reset after success

  std::vector<std::string> seen;
  for (const std::string& line : session.transcript.Lines())
    if (line.rfind("> ", 0) == 0 || line.rfind("# progress", 0) == 0) seen.push_back(line);
  EXPECT_EQ(seen, expected);

  // Each data command was acknowledged before the next went out.
  const std::vector<std::string>& lines = session.transcript.Lines();
  const auto first = std::find(lines.begin(), lines.end(), expected[3]);
  const auto second = std::find(lines.begin(), lines.end(), expected[4]);
  ASSERT_TRUE(first != lines.end() && second != lines.end());
  EXPECT_NE(std::find(first, second, "< 05 00 16 01 00 14"), second);
}

TEST_P(SessionRuns, TrailingBytesAfterThePayloadStillUpdate) {
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100, 5);
  firmware.trailing = std::vector<uint8_t>(50, 0xEE);
  const fs::path file = dir_.File("trailing.dat", FirmwareFileBytes(firmware));
  Session session(platform(), {}, Choose(file));
  session.Run(&file);
  ExpectUpdated(session, firmware.payload);
  EXPECT_EQ(session.controller.DataCommandsReceived(), 4u);
  const std::vector<uint32_t>& progress = session.frontEnd.Progress();
  EXPECT_EQ(*std::max_element(progress.begin(), progress.end()), 100u);
}

TEST_P(SessionRuns, FirmwareType200UpdatesOnMacosOnly) {
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100);
  const fs::path file = dir_.File("fw.dat", FirmwareFileBytes(firmware));
  ControllerConfig config;
  config.firmwareType = 200;
  Session session(platform(), config, Choose(file));
  session.Run(&file);
  if (platform() == Platform::Macos) {
    ExpectUpdated(session, firmware.payload);
    return;
  }
  EXPECT_EQ(session.result.end, SessionEnd::RunEnded);
  EXPECT_TRUE(session.MessageShownContaining("Firmware update failure, please handle work in BOOT mode"));
  EXPECT_TRUE(session.result.failureShown);
  EXPECT_EQ(session.frontEnd.FileChoicesShown(), 0);
  EXPECT_EQ(session.WrittenReports(), (std::vector<std::string>{kVersionRequestLine, kUpdateRequestLine}));
  EXPECT_FALSE(session.controller.HeaderReceived());
}

TEST_P(SessionRuns, UnknownFirmwareTypeEndsWithTheBootModeMessage) {
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100);
  const fs::path file = dir_.File("fw.dat", FirmwareFileBytes(firmware));
  ControllerConfig config;
  config.firmwareType = 2;
  Session session(platform(), config, Choose(file));
  session.Run(&file);
  EXPECT_EQ(session.result.end, SessionEnd::RunEnded);
  EXPECT_TRUE(session.MessageShownContaining("BOOT mode"));
  EXPECT_EQ(session.frontEnd.FileChoicesShown(), 0);
  EXPECT_FALSE(session.controller.HeaderReceived());
  EXPECT_EQ(session.WrittenReports().size(), 2u);
}

TEST_P(SessionRuns, FactoryFirmwareControllerStillUpdates) {
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(300);
  const fs::path file = dir_.File("fw.dat", FirmwareFileBytes(firmware));
  ControllerConfig config;
  config.factoryFirmware = true;
  Session session(platform(), config, Choose(file));
  session.Run(&file);
  ExpectUpdated(session, firmware.payload);
  ASSERT_FALSE(session.frontEnd.Messages().empty());
  const ShownMessage& warning = session.frontEnd.Messages().front();
  if (platform() == Platform::Windows) {
    EXPECT_EQ(warning.caption, "Korvid Tools v1.04");
    EXPECT_EQ(warning.text.rfind("1. Hold START+L+R", 0), 0u) << warning.text;
  } else {
    EXPECT_EQ(warning.text, "The firmware is factory Version, please update to lastest version!");
    EXPECT_EQ(session.frontEnd.VersionTexts(), std::vector<std::string>{"Factory Version"});
  }
}

// ---- Runs that end before anything is sent -------------------------------

enum class Refusal { FileCancelled, ConfirmCancelled, File27Bytes, ShortFile, ZeroPayload };

const char* RefusalName(Refusal refusal) {
  switch (refusal) {
    case Refusal::FileCancelled:
      return "FileCancelled";
    case Refusal::ConfirmCancelled:
      return "ConfirmCancelled";
    case Refusal::File27Bytes:
      return "File27Bytes";
    case Refusal::ShortFile:
      return "ShortFile";
    case Refusal::ZeroPayload:
      return "ZeroPayload";
  }
  return "?";
}

class SessionRefusals : public ::testing::TestWithParam<std::tuple<Platform, Refusal>> {};

TEST_P(SessionRefusals, EndTheRunWithNothingSentBeyondTheRequests) {
  const auto [platform, refusal] = GetParam();
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100);
  std::vector<uint8_t> bytes = FirmwareFileBytes(firmware);
  if (refusal == Refusal::File27Bytes) bytes.resize(27);
  if (refusal == Refusal::ShortFile) bytes.resize(28 + 99);
  if (refusal == Refusal::ZeroPayload) {
    firmware.announcedSize = 0;
    bytes = FirmwareFileBytes(firmware);
  }
  const fs::path file = dir.File("fw.dat", bytes);

  UserScript user = Choose(file);
  if (refusal == Refusal::FileCancelled) user.firmwareFile.reset();
  user.confirm = refusal != Refusal::ConfirmCancelled;
  Session session(platform, {}, user);
  session.Run(refusal == Refusal::FileCancelled ? nullptr : &file);

  EXPECT_EQ(session.result.end, SessionEnd::RunEnded) << session.result.outcome;
  EXPECT_EQ(session.WrittenReports(), (std::vector<std::string>{kVersionRequestLine, kUpdateRequestLine}));
  EXPECT_FALSE(session.controller.HeaderReceived());
  EXPECT_EQ(session.controller.DataCommandsReceived(), 0u);
  EXPECT_TRUE(session.frontEnd.Messages().empty()) << "refused silently";
  EXPECT_EQ(session.frontEnd.FileChoicesShown(), 1);
  EXPECT_EQ(session.frontEnd.ConfirmationsAsked().size(), refusal == Refusal::ConfirmCancelled ? 1u : 0u);
  EXPECT_LT(session.result.virtualMs, 1000u) << "a refusal ends at once";
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionRefusals,
                         ::testing::Combine(::testing::Values(Platform::Windows, Platform::Macos),
                                            ::testing::Values(Refusal::FileCancelled, Refusal::ConfirmCancelled,
                                                              Refusal::File27Bytes, Refusal::ShortFile,
                                                              Refusal::ZeroPayload)),
                         [](const auto& info) {
                           return std::string(PlatformName(std::get<0>(info.param))) + "_" +
                                  RefusalName(std::get<1>(info.param));
                         });

// ---- Stuck runs end through the failure path -----------------------------

// The file is taken away or cut short after the user confirmed it: the first
// change happens when the front-end hears that the transfer started.
enum class Stuck { ControllerSilent, FileRemoved, FileShrunk };

const char* StuckName(Stuck stuck) {
  switch (stuck) {
    case Stuck::ControllerSilent:
      return "ControllerSilent";
    case Stuck::FileRemoved:
      return "FileRemoved";
    case Stuck::FileShrunk:
      return "FileShrunk";
  }
  return "?";
}

class SessionStuckRuns : public ::testing::TestWithParam<std::tuple<Platform, Stuck>> {};

TEST_P(SessionStuckRuns, NeverHang) {
  const auto [platform, stuck] = GetParam();
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(200);
  const fs::path file = dir.File("fw.dat", FirmwareFileBytes(firmware));
  ControllerConfig config;
  if (stuck == Stuck::ControllerSilent) config.fault = FaultPlan{FaultKind::Silence, ControllerStep::Chunk, 3};
  Session session(platform, config, Choose(file));
  session.transcript.onLine = [&file, stuck = stuck](const std::string& line) {
    if (line != "# transfer started") return;
    if (stuck == Stuck::FileRemoved) fs::remove(file);
    if (stuck == Stuck::FileShrunk) fs::resize_file(file, 28 + 40);
  };
  session.Run(&file);

  EXPECT_EQ(session.result.end, SessionEnd::RunEnded) << session.result.outcome;
  EXPECT_TRUE(session.result.failureShown);
  EXPECT_FALSE(session.result.successShown);
  EXPECT_EQ(session.controller.CompletionsReceived(), 0u);
  EXPECT_LE(session.result.virtualMs, 11000u);
  EXPECT_TRUE(session.controller.Violations().empty());
  switch (stuck) {
    case Stuck::ControllerSilent:
      EXPECT_EQ(session.controller.DataCommandsReceived(), 3u);
      EXPECT_GE(session.result.virtualMs, 10000u) << "the watchdog gives the controller ten seconds";
      break;
    case Stuck::FileRemoved:
      // The first acknowledgement finds the file gone and ends the run then.
      EXPECT_EQ(session.controller.DataCommandsReceived(), 0u);
      EXPECT_LT(session.result.virtualMs, 1000u);
      break;
    case Stuck::FileShrunk:
      // 40 payload bytes left: one full chunk, then the short read ends the
      // run; no short or empty chunk goes out mid-payload.
      EXPECT_EQ(session.controller.DataCommandsReceived(), 1u);
      EXPECT_LT(session.result.virtualMs, 1000u);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionStuckRuns,
                         ::testing::Combine(::testing::Values(Platform::Windows, Platform::Macos),
                                            ::testing::Values(Stuck::ControllerSilent, Stuck::FileRemoved,
                                                              Stuck::FileShrunk)),
                         [](const auto& info) {
                           return std::string(PlatformName(std::get<0>(info.param))) + "_" +
                                  StuckName(std::get<1>(info.param));
                         });

// The driver's own bound: a run that keeps exchanging reports is ended as a
// hang instead of holding the suite (here a bound far below what the run needs).
TEST(SessionReportBound, AnEndlessExchangeEndsAsAHang) {
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(32 * 40);
  const fs::path file = dir.File("fw.dat", FirmwareFileBytes(firmware));
  Session session(Platform::Windows, {}, Choose(file));
  session.options.maxReports = 10;
  session.Run(&file);
  EXPECT_EQ(session.result.end, SessionEnd::Hung);
  EXPECT_NE(session.result.outcome.find("more than 10 reports"), std::string::npos) << session.result.outcome;
  EXPECT_EQ(session.controller.DataCommandsReceived(), 9u) << "header ACK and nine chunk ACKs came in";
}

INSTANTIATE_TEST_SUITE_P(Platforms, SessionRuns, ::testing::Values(Platform::Windows, Platform::Macos),
                         [](const auto& info) { return std::string(PlatformName(info.param)); });

// ---- Windows texts in Chinese --------------------------------------------

TEST(SessionWindowsChinese, SuccessTextIsChinese) {
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100);
  const fs::path file = dir.File("fw.dat", FirmwareFileBytes(firmware));
  UserScript user = Choose(file);
  user.language = TextLanguage::Chinese;
  Session session(Platform::Windows, {}, user);
  session.Run(&file);
  ExpectUpdated(session, firmware.payload);
  ASSERT_FALSE(session.frontEnd.Messages().empty());
  const ShownMessage& success = session.frontEnd.Messages().back();
  EXPECT_NE(success.text.find("升级成功."), std::string::npos) << success.text;
  EXPECT_EQ(success.text.find("upgraded"), std::string::npos);
  EXPECT_EQ(success.caption, "Korvid Tools v1.04");
  ASSERT_EQ(session.frontEnd.ConfirmationTexts().size(), 1u);
  EXPECT_EQ(session.frontEnd.ConfirmationTexts()[0].rfind("升级新固件 1.10 当前版本为 1.00", 0), 0u)
      << session.frontEnd.ConfirmationTexts()[0];
}

TEST(SessionWindowsChinese, FailureTextIsChinese) {
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100);
  const fs::path file = dir.File("fw.dat", FirmwareFileBytes(firmware));
  UserScript user = Choose(file);
  user.language = TextLanguage::Chinese;
  ControllerConfig config;
  config.fault = FaultPlan{FaultKind::Fail24, ControllerStep::Chunk, 2};
  Session session(Platform::Windows, config, user);
  session.Run(&file);
  EXPECT_EQ(session.result.end, SessionEnd::RunEnded);
  EXPECT_TRUE(session.MessageShownContaining("固件更新失败"));
}

}  // namespace
