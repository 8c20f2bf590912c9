// The update state machine driven by hand-made controller messages: version
// display, dispatch of stray messages, firmware types, the chunk sequence,
// completion, failure, the watchdog and files that change under the engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <tuple>

#include "engine_test_support.h"

namespace enginetest {
namespace {

const char* const kTitle = "Korvid Tools v1.04";

std::string Entry(const char* what, const Bytes& bytes) { return std::string(what) + " " + Hex(bytes); }
std::string ReportEntry(const Bytes& counted) { return Entry("report", counted); }
std::string Progress(uint32_t percent) { return "progress " + std::to_string(percent); }

// What the user sees when a transfer succeeds, after the completion report.
std::vector<std::string> SuccessLog(Platform platform) {
  if (platform == Platform::Macos) return {ReportEntry(CompletionReport()), "message Firmware upgraded successful!"};
  return {ReportEntry(CompletionReport()), "message \n Firmware upgraded! \n", "notice", Progress(0)};
}

bool HasEmptyOrShortDataReport(const std::vector<ReportBytes>& reports, std::size_t fullChunk) {
  for (const ReportBytes& report : reports) {
    const Bytes counted = Counted(report);
    if (counted.size() < 6 || counted[2] != MSG_FIRMWARE || counted[5] != SET_FIRMWARE_DATA) continue;
    if (counted[0] == 5 || counted[0] < fullChunk + 7) return true;
  }
  return false;
}

// ---- Version report --------------------------------------------------------

struct VersionCase {
  Platform platform;
  uint16_t version;
  uint16_t beta;
  std::optional<std::string> shown;  // text of ShowDeviceVersion, if any
  std::optional<ShownBox> box;       // factory warning, if any
  uint32_t devVersion;
};

class EngineStateVersion : public EngineFixture, public testing::WithParamInterface<VersionCase> {};

TEST_P(EngineStateVersion, ReportIsShownAndKept) {
  const VersionCase& c = GetParam();
  Start(c.platform);
  Deliver(VersionMessage(c.version, c.beta));

  EXPECT_EQ(cur_devVersion, c.devVersion);
  if (c.shown) {
    ASSERT_EQ(Ui().versions.size(), 1u);
    EXPECT_EQ(Ui().versions[0], *c.shown);
  } else {
    EXPECT_TRUE(Ui().versions.empty());
  }
  if (c.box) {
    ASSERT_EQ(Ui().messages.size(), 1u);
    EXPECT_EQ(Ui().messages[0].caption, c.box->caption);
    EXPECT_EQ(Ui().messages[0].text, c.box->text);
  } else {
    EXPECT_TRUE(Ui().messages.empty());
  }
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
}

const ShownBox kMacosFactory{"", "The firmware is factory Version, please update to lastest version!"};
const ShownBox kWindowsFactory{kTitle, WindowsText(14, TextLanguage::English)};

INSTANTIATE_TEST_SUITE_P(
    EngineVersions, EngineStateVersion,
    testing::Values(
        VersionCase{Platform::Macos, 105, 0, "v1.05", std::nullopt, 105},
        VersionCase{Platform::Windows, 105, 0, "Korvid Tools v1.04(Tindro V1.05)", std::nullopt, 105},
        VersionCase{Platform::Macos, 105, 2, "v1.05 bate:2", std::nullopt, 105},
        VersionCase{Platform::Windows, 105, 2, "Korvid Tools v1.04(Tindro V1311.77)", std::nullopt, 131177},
        VersionCase{Platform::Macos, 100, 0, "v1.00", std::nullopt, 100},
        VersionCase{Platform::Macos, 0xFFFF, 0xFFFF, "Factory Version", kMacosFactory, 0xFFFF},
        VersionCase{Platform::Windows, 0xFFFF, 0xFFFF, std::nullopt, kWindowsFactory, 0xFFFFFFFF},
        VersionCase{Platform::Macos, 0xFFFF, 0, "Factory Version", kMacosFactory, 0xFFFF},
        VersionCase{Platform::Windows, 0xFFFF, 0, "Korvid Tools v1.04(Tindro V655.35)", std::nullopt, 0xFFFF},
        VersionCase{Platform::Windows, 0, 0xFFFF, "Korvid Tools v1.04(Tindro V42949017.60)", std::nullopt, 0xFFFF0000}),
    [](const testing::TestParamInfo<VersionCase>& info) {
      return PlatformName(info.param.platform) + "_" + std::to_string(info.param.version) + "_beta" +
             std::to_string(info.param.beta);
    });

TEST(EngineStateVersionPacketType, OnlyMacosRemembersThePacketTypeOfTheVersionReport) {
  RecordingFrontEnd macos(Platform::Macos);
  EngineStartUp(EngineSetup{Platform::Macos, &macos, nullptr});
  Deliver(VersionMessage(105, 0), PACKET_TYPE_RFCOMM);
  EXPECT_EQ(packet_type_save, PACKET_TYPE_RFCOMM);
  Deliver(VersionMessage(105, 0), PACKET_TYPE_HID);
  EXPECT_EQ(packet_type_save, PACKET_TYPE_HID);

  RecordingFrontEnd windows(Platform::Windows);
  EngineStartUp(EngineSetup{Platform::Windows, &windows, nullptr});
  Deliver(VersionMessage(105, 0), PACKET_TYPE_HID);
  EXPECT_EQ(packet_type_save, 0);
  EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
}

TEST(EngineStateVersionChinese, WindowsChineseFactoryWarningUsesTheChineseSteps) {
  RecordingFrontEnd windows(Platform::Windows, TextLanguage::Chinese);
  EngineStartUp(EngineSetup{Platform::Windows, &windows, nullptr});
  Deliver(VersionMessage(0xFFFF, 0xFFFF));
  ASSERT_EQ(windows.messages.size(), 1u);
  EXPECT_EQ(windows.messages[0].text, WindowsText(14, TextLanguage::Chinese));
  EXPECT_EQ(windows.messages[0].caption, kTitle);
  Deliver(VersionMessage(110, 0));
  ASSERT_EQ(windows.versions.size(), 1u);
  EXPECT_EQ(windows.versions[0], "Korvid Tools v1.04(Tindro V1.10)");
  EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
}

// ---- Transfers on HID --------------------------------------------------------

class EngineState : public EnginePlatformFixture {
 protected:
  // A firmware file with `size` payload bytes (and `trailing` bytes after it).
  std::filesystem::path Firmware(std::size_t size, std::size_t trailing = 0, const char* name = "fw.dat") {
    SampleFirmware firmware;
    firmware.payload = MakeSamplePayload(size, static_cast<uint32_t>(size));
    firmware.trailing = Bytes(trailing, 0x7E);
    payload_ = firmware.payload;
    return WriteFirmware(dir_ / name, firmware);
  }

  // Update started, header out, records cleared.
  std::filesystem::path Begin(std::size_t size, std::size_t trailing = 0) {
    const std::filesystem::path file = Firmware(size, trailing);
    BeginUpdate(file);
    Ui().ClearRecords();
    return file;
  }

  // Ticks from `from` to `to` every `step` ms; the time of the first message, if any.
  std::optional<uint64_t> TickUntilMessage(uint64_t from, uint64_t to, uint64_t step = 100) {
    const std::size_t before = Ui().messages.size();
    for (uint64_t now = from; now <= to; now += step) {
      WatchdogTick(now);
      if (Ui().messages.size() != before) return now;
    }
    return std::nullopt;
  }

  Platform P() const { return GetParam(); }

  Bytes payload_;
};

struct SequenceCase {
  std::size_t size;
  std::vector<std::size_t> chunks;
  std::vector<uint32_t> progress;
};

class EngineStateSequence : public EngineFixture,
                            public testing::WithParamInterface<std::tuple<Platform, SequenceCase>> {};

TEST_P(EngineStateSequence, EachAckBringsTheNextChunkThenCompletion) {
  const Platform platform = std::get<0>(GetParam());
  const SequenceCase& c = std::get<1>(GetParam());
  Start(platform);
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(c.size, 7);
  BeginUpdate(WriteFirmware(dir_ / "fw.dat", firmware));
  Ui().ClearRecords();

  std::vector<std::string> expected;
  std::size_t at = 0;
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    expected.push_back(ReportEntry(DataReport(Slice(firmware.payload, at, c.chunks[i]))));
    at += c.chunks[i];
    if (i > 0) expected.push_back(Progress(c.progress[i - 1]));
    if (i + 1 == c.chunks.size() && platform == Platform::Windows) expected.push_back("enable");
  }
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    Ack();
    EXPECT_EQ(g_firmware_update_state, i + 1 < c.chunks.size() ? UPDATE_SENDING_DATA : UPDATE_DATA_SENT);
    EXPECT_FALSE(m_updateComplete);
  }
  EXPECT_EQ(Ui().log, expected);
  EXPECT_EQ(m_handleFirmeWare.offset, c.size);
  EXPECT_FALSE(m_handleFirmeWare.file.is_open());
  if (platform == Platform::Macos) {
    EXPECT_TRUE(m_FilePathName.empty()) << "path released after the last chunk";
  }

  Ui().ClearRecords();
  Ack();
  EXPECT_EQ(Ui().log, SuccessLog(platform));
  if (platform == Platform::Windows) {
    EXPECT_EQ(Ui().messages[0].caption, kTitle);
  }
  EXPECT_TRUE(m_updateComplete);
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
  EXPECT_EQ(deviceUpgradedCount, platform == Platform::Macos ? 1 : 0);
  for (const ReportBytes& report : Ui().reports) EXPECT_TRUE(TailIsZero(report));
}

INSTANTIATE_TEST_SUITE_P(
    EngineSequences, EngineStateSequence,
    testing::Combine(testing::Values(Platform::Windows, Platform::Macos),
                     testing::Values(SequenceCase{100, {32, 32, 32, 4}, {64, 96, 100}},
                                     SequenceCase{32, {32, 0}, {100}}, SequenceCase{96, {32, 32, 32}, {66, 100}},
                                     SequenceCase{65, {32, 32, 1}, {98, 100}}, SequenceCase{33, {32, 1}, {100}},
                                     SequenceCase{1, {1, 0}, {100}})),
    [](const testing::TestParamInfo<std::tuple<Platform, SequenceCase>>& info) {
      return PlatformName(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param).size) + "bytes";
    });

TEST(EngineStateRfcomm, WindowsSends100BytesAsOneDataCommandThenAnEmptyOne) {
  TempDir dir;
  RecordingFrontEnd ui(Platform::Windows);
  EngineStartUp(EngineSetup{Platform::Windows, &ui, nullptr});
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100, 3);
  ui.files.push_back(WriteFirmware(dir / "fw.dat", firmware));

  RequestFirmwareUpdate(kTarget, PACKET_TYPE_RFCOMM);
  EXPECT_FALSE(m_updateComplete);
  Deliver(IdentityMessage(1), PACKET_TYPE_RFCOMM);
  const Bytes header = Slice(HeaderReport(110, firmware.headerWord1, 100), 1, 35);
  EXPECT_EQ(ui.streams, (std::vector<Bytes>{{0x00, 0x1A, 0x01, 0x00, 0x00}, header, {0x00, 0x1C, 0x01, 0x00, 0x00}}))
      << "header command first, then MSG_FILE_ACCEPTED";
  ui.ClearRecords();

  Deliver(EventMessage(FIRMWARE_ACK), PACKET_TYPE_RFCOMM);
  Deliver(EventMessage(FIRMWARE_ACK), PACKET_TYPE_RFCOMM);
  Deliver(EventMessage(FIRMWARE_ACK), PACKET_TYPE_RFCOMM);
  EXPECT_EQ(ui.log, (std::vector<std::string>{
                        Entry("stream", CommandFrame(SET_FIRMWARE_DATA, firmware.payload)),
                        "stream 00 16 01 00 00",
                        Progress(100),
                        "enable",
                        "stream 00 16 01 00 02",
                        "message \n Firmware upgraded! \n",
                        "notice",
                        Progress(0),
                    }));
  EXPECT_TRUE(ui.reports.empty());
  EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
}

TEST_P(EngineState, AckAtRestSendsCompletionAndShowsNothing) {
  Ack();
  Ack();
  EXPECT_EQ(Ui().log, (std::vector<std::string>{ReportEntry(CompletionReport()), ReportEntry(CompletionReport())}));
  EXPECT_EQ(deviceUpgradedCount, 0);
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
}

TEST_P(EngineState, SecondAckAfterSuccessSendsCompletionAgainWithoutSecondSuccess) {
  Begin(40);
  Ack();
  Ack();
  Ack();
  ASSERT_EQ(Ui().messages.size(), 1u);
  EXPECT_EQ(deviceUpgradedCount, P() == Platform::Macos ? 1 : 0);
  Ui().ClearRecords();

  Ack();
  Ack();
  EXPECT_EQ(Ui().log, (std::vector<std::string>{ReportEntry(CompletionReport()), ReportEntry(CompletionReport())}));
  EXPECT_EQ(deviceUpgradedCount, P() == Platform::Macos ? 1 : 0);
}

TEST_P(EngineState, EachTransferIsCountedOnceAndMacosAlertsOncePerAttachment) {
  const std::filesystem::path file = Firmware(40);
  for (int transfer = 1; transfer <= 3; ++transfer) {
    SCOPED_TRACE(transfer);
    if (transfer == 3) ControllerAttached();
    Ui().ClearRecords();
    BeginUpdate(file);
    Ack();
    Ack();
    Ack();
    Ack();  // a duplicate acknowledgement
    const bool alertShown = P() == Platform::Windows || transfer != 2;
    EXPECT_EQ(Ui().messages.size(), alertShown ? 1u : 0u);
    if (P() == Platform::Macos) {
      EXPECT_EQ(deviceUpgradedCount, transfer);
    }
    EXPECT_EQ(std::count(Ui().log.begin(), Ui().log.end(), ReportEntry(CompletionReport())), 2);
  }
}

TEST_P(EngineState, StrayMessagesChangeNothingMidTransfer) {
  Begin(100);
  Ack();
  Ack();
  Ui().ClearRecords();
  const uint32_t devVersion = cur_devVersion;
  const uint32_t type = firmware_type;

  Message identityNotZero = IdentityMessage(1);
  identityNotZero[0] = 0x01;
  Message ackNotZero = EventMessage(FIRMWARE_ACK);
  ackNotZero[0] = 0x01;
  Message failNotZero = EventMessage(FIRMWARE_FAIL_21);
  failNotZero[0] = 0x80;
  const Message strays[] = {
      identityNotZero,
      ackNotZero,
      failNotZero,
      RawMessage({0x00, MSG_NOP, 0x01, 0x00, FIRMWARE_ACK}),
      RawMessage({0x00, 0x55, 0x01, 0x00, FIRMWARE_ACK}),
      RawMessage({0x00, MSG_UPDATE_REQUEST, 0x01, 0x00, 0x00}),
      EventMessage(0x00),
      EventMessage(0x07),
      EventMessage(0x13),
      EventMessage(0x16),
      EventMessage(0xFF),
  };
  for (const Message& stray : strays) {
    SCOPED_TRACE(Hex(Bytes(stray.begin(), stray.begin() + 5)));
    Deliver(stray);
    EXPECT_TRUE(Ui().log.empty());
    EXPECT_EQ(g_firmware_update_state, UPDATE_SENDING_DATA);
    EXPECT_EQ(m_handleFirmeWare.offset, 64u);
    EXPECT_FALSE(m_updateComplete);
    EXPECT_EQ(cur_devVersion, devVersion);
    EXPECT_EQ(firmware_type, type);
  }
  // The transfer goes on where it was.
  Ack();
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Counted(Ui().reports[0]), DataReport(Slice(payload_, 64, 32)));
}

TEST_P(EngineState, VersionReportMidTransferLeavesTheTransferGoing) {
  Begin(100);
  Ack();
  Deliver(VersionMessage(120, 0));
  EXPECT_EQ(g_firmware_update_state, UPDATE_SENDING_DATA);
  EXPECT_EQ(Ui().versions.size(), 1u);
  Ack();
  EXPECT_EQ(Counted(Ui().reports.back()), DataReport(Slice(payload_, 32, 32)));
}

TEST_P(EngineState, ClampedProgressWithTrailingBytesNeverPasses100) {
  Begin(20, 40);
  Ack();
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Ui().reports[0][0], 39) << "the chunk is what the read returns, not trimmed to the payload";
  Ack();
  EXPECT_EQ(Ui().progress, std::vector<uint32_t>{100});
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
  Ack();
  for (uint32_t percent : Ui().progress) EXPECT_LE(percent, 100u);
  EXPECT_EQ(Ui().messages.size(), 1u);
}

TEST_P(EngineState, PercentageIsExactForOffsetsNear4GiB) {
  // No 4 GB file is made: the transfer record is moved ahead between two
  // acknowledgements, the way a long transfer would have left it.
  Begin(100);
  Ack();
  m_handleFirmeWare.payloadSize = 4000000000u;
  m_handleFirmeWare.offset = 3000000000u - 32;
  Ack();
  EXPECT_EQ(Ui().progress, std::vector<uint32_t>{75});
  m_handleFirmeWare.offset = 4000000000u - 32;
  Ack();
  EXPECT_EQ(Ui().progress, (std::vector<uint32_t>{75, 100}));
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
}

// ---- Firmware type of the identity -----------------------------------------

struct TypeCase {
  Platform platform;
  uint32_t type;
  bool accepted;
};

class EngineStateFirmwareType : public EngineFixture, public testing::WithParamInterface<TypeCase> {};

TEST_P(EngineStateFirmwareType, OnlyBootModeTypesReachTheFileChoice) {
  const TypeCase& c = GetParam();
  Start(c.platform);
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  Deliver(IdentityMessage(c.type));

  EXPECT_EQ(firmware_type, c.type);
  EXPECT_TRUE(Ui().reports.empty()) << "nothing sent";
  EXPECT_TRUE(m_updateComplete) << "the run ended";
  if (c.accepted) {
    EXPECT_EQ(Ui().fileChoices.size(), 1u);
    EXPECT_TRUE(Ui().messages.empty());
    return;
  }
  EXPECT_TRUE(Ui().fileChoices.empty());
  ASSERT_EQ(Ui().messages.size(), 1u);
  if (c.platform == Platform::Macos) {
    EXPECT_EQ(Ui().messages[0].caption, "");
    EXPECT_EQ(Ui().messages[0].text, "Firmware update failure, please poweroff Tindro and make it work in BOOT mode");
  } else {
    EXPECT_EQ(Ui().messages[0].caption, kTitle);
    EXPECT_EQ(Ui().messages[0].text, "Firmware update failure, please handle work in BOOT mode\n");
  }
  EXPECT_TRUE(Ui().enables.empty());
}

INSTANTIATE_TEST_SUITE_P(EngineTypes, EngineStateFirmwareType,
                         testing::Values(TypeCase{Platform::Macos, 1, true}, TypeCase{Platform::Macos, 200, true},
                                         TypeCase{Platform::Windows, 1, true}, TypeCase{Platform::Windows, 200, false},
                                         TypeCase{Platform::Macos, 0, false}, TypeCase{Platform::Windows, 0, false},
                                         TypeCase{Platform::Macos, 2, false}, TypeCase{Platform::Windows, 2, false},
                                         TypeCase{Platform::Macos, 0x01000000, false},
                                         TypeCase{Platform::Windows, 0x01000000, false},
                                         TypeCase{Platform::Macos, 0xC8000000, false},
                                         TypeCase{Platform::Windows, 0x101, false}),
                         [](const testing::TestParamInfo<TypeCase>& info) {
                           return PlatformName(info.param.platform) + "_type" + std::to_string(info.param.type);
                         });

TEST(EngineStateFirmwareTypeChinese, WindowsBootModeTextFollowsTheLanguage) {
  RecordingFrontEnd ui(Platform::Windows, TextLanguage::Chinese);
  EngineStartUp(EngineSetup{Platform::Windows, &ui, nullptr});
  Deliver(IdentityMessage(2));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "固件更新失败,请将手柄工作在BOOT模式\n");
  EXPECT_EQ(ui.messages[0].caption, kTitle);
  EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
}

// ---- Failure events ------------------------------------------------------------

enum class Stage { AtRest, HeaderSent, SendingData, PayloadSent };

class EngineStateFailure : public EngineState {};

class EngineStateFailureEvent : public EngineFixture,
                                public testing::WithParamInterface<std::tuple<Platform, uint8_t, Stage>> {};

TEST_P(EngineStateFailureEvent, FailureEndsTheRunWithTheMessageInEveryState) {
  const auto [platform, event, stage] = GetParam();
  Start(platform);
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100, 9);
  const std::filesystem::path file = WriteFirmware(dir_ / "fw.dat", firmware);
  int32_t state = UPDATE_DATA_SENT;
  if (stage != Stage::AtRest) {
    BeginUpdate(file);
    const int acks = stage == Stage::HeaderSent ? 0 : stage == Stage::SendingData ? 2 : 4;
    for (int i = 0; i < acks; ++i) Ack();
    state = stage == Stage::HeaderSent    ? UPDATE_HEADER_SENT
            : stage == Stage::SendingData ? UPDATE_SENDING_DATA
                                          : UPDATE_DATA_SENT;
    ASSERT_EQ(g_firmware_update_state, state);
  }
  Ui().ClearRecords();

  Deliver(EventMessage(event));
  ExpectFailureShownOnce(Ui(), platform);
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_EQ(g_firmware_update_state, state) << "the failure leaves the state alone";

  // A late acknowledgement: ignored in states 1 and 2; at rest it only sends
  // the completion command and shows no success.
  Ui().ClearRecords();
  Ack();
  if (state == UPDATE_DATA_SENT) {
    EXPECT_EQ(Ui().log, std::vector<std::string>{ReportEntry(CompletionReport())});
  } else {
    EXPECT_TRUE(Ui().log.empty());
  }
  EXPECT_EQ(deviceUpgradedCount, 0);
}

std::string FailureCaseName(const testing::TestParamInfo<std::tuple<Platform, uint8_t, Stage>>& info) {
  static const char* const kStages[] = {"AtRest", "HeaderSent", "SendingData", "PayloadSent"};
  return PlatformName(std::get<0>(info.param)) + "_event" + std::to_string(std::get<1>(info.param)) + "_" +
         kStages[static_cast<int>(std::get<2>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EngineFailures, EngineStateFailureEvent,
                         testing::Combine(testing::Values(Platform::Windows, Platform::Macos),
                                          testing::Values(uint8_t{FIRMWARE_FAIL_21}, uint8_t{FIRMWARE_FAIL_24}),
                                          testing::Values(Stage::AtRest, Stage::HeaderSent, Stage::SendingData,
                                                          Stage::PayloadSent)),
                         FailureCaseName);

TEST_P(EngineStateFailure, FreshConfirmationAfterFailureRestartsAtOffsetZero) {
  const std::filesystem::path file = Begin(100);
  Ack();
  Ack();
  Deliver(EventMessage(FIRMWARE_FAIL_21));
  ASSERT_EQ(Ui().messages.size(), 1u);

  Ui().ClearRecords();
  BeginUpdate(file);
  EXPECT_EQ(m_handleFirmeWare.offset, 0u);
  Ui().ClearRecords();
  for (int i = 0; i < 4; ++i) Ack();
  ASSERT_EQ(Ui().reports.size(), 4u);
  Bytes sent;
  for (const ReportBytes& report : Ui().reports) sent = Join(sent, Slice(Counted(report), 8, 32));
  EXPECT_EQ(sent, payload_);
  EXPECT_EQ(Ui().progress, (std::vector<uint32_t>{64, 96, 100}));
  Ack();
  EXPECT_EQ(Ui().messages.size(), 1u);
  EXPECT_EQ(Ui().messages[0].text, SuccessLog(P())[1].substr(8));
}

TEST_P(EngineStateFailure, LateAcksAfterANewUpdateRequestDoNotResumeTheEndedTransfer) {
  Begin(100);
  Ack();
  Deliver(EventMessage(FIRMWARE_FAIL_21));
  Ui().ClearRecords();

  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);  // the user tries again
  for (int i = 0; i < 5; ++i) Ack();                // before any identity

  ASSERT_EQ(Ui().reports.size(), 1u) << "only the update request goes out";
  EXPECT_EQ(Counted(Ui().reports[0]), (Bytes{0x05, 0x00, MSG_UPDATE_REQUEST, 0x01, 0x00, 0x00}));
  EXPECT_TRUE(Ui().messages.empty());
  EXPECT_TRUE(Ui().progress.empty());
}

TEST_P(EngineStateFailure, AnIdentityBeforeTheHeaderSupersedesTheOpenConfirmationAndAcksMeanwhileAreIgnored) {
  Ui().files.push_back(Firmware(60, 0, "first.dat"));
  const std::filesystem::path second = Firmware(100, 0, "second.dat");
  Ui().files.push_back(second);
  Ui().answers = {ConfirmAnswer::Pending, ConfirmAnswer::Pending};  // the user takes their time
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Deliver(IdentityMessage(1));
  Deliver(IdentityMessage(1));  // the controller starts over before any header
  Ack();  // at rest: at most a completion command, never a header or a chunk
  EXPECT_EQ(Ui().fileChoices.size(), 2u);
  for (std::size_t i = 1; i < Ui().reports.size(); ++i)
    EXPECT_EQ(Hex(Counted(Ui().reports[i])), Hex(CompletionReport()));
  EXPECT_EQ(Ui().transfersStarted, 0);
  EXPECT_TRUE(Ui().messages.empty());

  Ui().ClearRecords();
  ConfirmationEnded(kTarget, true);
  for (int i = 0; i < 5; ++i) Ack();
  Bytes sent;
  for (std::size_t i = 1; i < 5 && i < Ui().reports.size(); ++i)
    sent = Join(sent, Slice(Counted(Ui().reports[i]), 8, 32));
  EXPECT_EQ(sent, payload_) << "the whole payload of the file chosen last, from its first byte";
  ASSERT_GE(Ui().progress.size(), 3u);
  EXPECT_EQ(std::vector<uint32_t>(Ui().progress.begin(), Ui().progress.begin() + 3),
            (std::vector<uint32_t>{64, 96, 100}));
  ASSERT_EQ(Ui().messages.size(), 1u);
}

TEST_P(EngineStateFailure, ChunkWhoseWriteFailsEndsTheRunWithoutSuccess) {
  Begin(100);
  Ui().failingWrites = {3};  // request 0, header 1, chunks from 2: the second chunk fails
  Ack();
  Ack();
  ExpectFailureShownOnce(Ui(), P());
  EXPECT_TRUE(Ui().progress.empty());
  Ui().ClearRecords();
  Ack();
  Ack();
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().messages.empty());
}

TEST_P(EngineStateFailure, CompletionWhoseWriteFailsShowsFailureNotSuccess) {
  Begin(32);
  Ui().failingWrites = {4};  // request, header, chunk, empty chunk, completion
  Ack();
  Ack();
  Ui().ClearRecords();
  Ack();
  ExpectFailureShownOnce(Ui(), P());
  EXPECT_EQ(deviceUpgradedCount, 0);
  Ui().ClearRecords();
  Ack();
  EXPECT_EQ(Ui().log, std::vector<std::string>{ReportEntry(CompletionReport())});
}

TEST_P(EngineStateFailure, HeaderWhoseWriteFailsEndsTheRun) {
  Ui().files.push_back(Firmware(100));
  Ui().failingWrites = {1};
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Deliver(IdentityMessage(1));
  if (P() == Platform::Macos) ConfirmationEnded(kTarget, true);
  ExpectFailureShownOnce(Ui(), P());
  EXPECT_EQ(Ui().transfersStarted, 0);
  Ui().ClearRecords();
  Ack();
  EXPECT_TRUE(Ui().log.empty());
}

class EngineStateChinese : public EngineFixture {};

TEST_F(EngineStateChinese, WindowsFailureAndSuccessTextsFollowTheLanguage) {
  Start(Platform::Windows, TextLanguage::Chinese);
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(40, 2);
  const std::filesystem::path file = WriteFirmware(dir_ / "fw.dat", firmware);
  BeginUpdate(file);
  Deliver(EventMessage(FIRMWARE_FAIL_24));
  ASSERT_EQ(Ui().messages.size(), 1u);
  EXPECT_EQ(Ui().messages[0].text, "固件更新失败\n");
  EXPECT_EQ(Ui().messages[0].caption, kTitle);

  BeginUpdate(file);
  Ui().ClearRecords();
  Ack();
  Ack();
  Ack();
  ASSERT_EQ(Ui().messages.size(), 1u);
  EXPECT_EQ(Ui().messages[0].text, "\n 升级成功. \n");
  EXPECT_EQ(Ui().messages[0].caption, kTitle);
}

INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineStateFailure, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());

// ---- How a run ended, as the front-end hears it -------------------------------

TEST_P(EngineStateFailure, EveryEndingOfAStartedRunIsToldOnceJustBeforeItsMessage) {
  enum class End { Success, FailureEvent, Silence, Removal, ChunkNotWritten, FileGone };
  const std::pair<End, RunOutcome> cases[] = {
      {End::Success, RunOutcome::Updated},
      {End::FailureEvent, RunOutcome::ControllerFailed},
      {End::Silence, RunOutcome::ControllerSilent},
      {End::Removal, RunOutcome::ControllerRemoved},
      {End::ChunkNotWritten, RunOutcome::WriteFailed},
      {End::FileGone, RunOutcome::FirmwareFileFailed},
  };
  for (const auto& [end, told] : cases) {
    SCOPED_TRACE(static_cast<int>(end));
    Start(P());
    const std::filesystem::path file = Begin(100);
    if (end == End::FileGone) std::filesystem::remove(file);
    if (end == End::ChunkNotWritten) Ui().failingWrites = {3};
    Ack();
    switch (end) {
      case End::Success:
        for (int i = 0; i < 5; ++i) Ack();
        break;
      case End::FailureEvent:
        Deliver(EventMessage(FIRMWARE_FAIL_24));
        break;
      case End::Silence:
        TickUntilMessage(0, 20000);
        break;
      case End::Removal:
        ControllerRemoved();
        break;
      case End::ChunkNotWritten:
        Ack();
        break;
      case End::FileGone:
        break;
    }
    ASSERT_EQ(Ui().outcomes.size(), 1u);
    EXPECT_EQ(Ui().outcomes[0].first, told);
    EXPECT_EQ(Ui().outcomes[0].second, 0u) << "told before the message";
    EXPECT_EQ(Ui().messages.size(), 1u);
  }

  Start(P());  // a run that ends before any transfer tells nothing
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Deliver(IdentityMessage(1));  // no file to choose: cancelled
  EXPECT_TRUE(m_updateComplete);
  EXPECT_TRUE(Ui().outcomes.empty());
}

// ---- Files that change under the engine --------------------------------------

class EngineStateFileChanges : public EngineState {};

struct ShrinkCase {
  const char* name;
  std::size_t keptBytes;     // the file's new length
  std::size_t acksBefore;    // acknowledgements before the file shrinks
  std::size_t chunksBefore;  // data commands that still go out in full
};

TEST_P(EngineStateFileChanges, FileThatShrinksEndsTheRunThroughTheFailurePath) {
  const ShrinkCase cases[] = {
      {"shorter payload before the first chunk", 28 + 40, 0, 1},
      {"less than one chunk left", 28 + 10, 0, 0},
      {"header cut", 20, 0, 0},
      {"emptied", 0, 0, 0},
  };
  for (const ShrinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    Start(P());
    const std::filesystem::path file = Begin(100);
    for (std::size_t i = 0; i < c.acksBefore; ++i) Ack();
    const Bytes whole = FirmwareFileBytes([&] {
      SampleFirmware firmware;
      firmware.payload = payload_;
      return firmware;
    }());
    WriteRawFile(file, Slice(whole, 0, c.keptBytes));

    for (int i = 0; i < 6 && Ui().messages.empty(); ++i) Ack();
    ExpectFailureShownOnce(Ui(), P());
    EXPECT_FALSE(HasEmptyOrShortDataReport(Ui().reports, kHidChunkSize)) << "no empty data command mid-payload";
    EXPECT_EQ(Ui().reports.size(), c.chunksBefore);
    for (std::size_t i = 0; i < Ui().reports.size(); ++i)
      EXPECT_EQ(Counted(Ui().reports[i]), DataReport(Slice(payload_, 32 * i, 32)));

    Ui().ClearRecords();
    Ack();
    EXPECT_TRUE(Ui().log.empty()) << "the ended run stays ended";
  }
}

TEST_P(EngineStateFileChanges, FileThatShrinksWhileOpenEndsTheRunWithoutShortChunks) {
  // Larger than any stream buffer, so the reads after the cut see it.
  const std::filesystem::path file = Begin(64 * 1024);
  Ack();
  Ack();
  SampleFirmware firmware;
  firmware.payload = payload_;
  WriteRawFile(file, Slice(FirmwareFileBytes(firmware), 0, 28 + 64));

  for (int i = 0; i < 4096 && Ui().messages.empty(); ++i) Ack();
  ExpectFailureShownOnce(Ui(), P());
  EXPECT_FALSE(HasEmptyOrShortDataReport(Ui().reports, kHidChunkSize));
  EXPECT_LT(Ui().reports.size(), 64u * 1024 / 32);
  for (std::size_t i = 0; i < Ui().reports.size(); ++i)
    ASSERT_EQ(Counted(Ui().reports[i]), DataReport(Slice(payload_, 32 * i, 32))) << i;
  EXPECT_NE(g_firmware_update_state, UPDATE_DATA_SENT);
}

TEST_P(EngineStateFileChanges, FileGoneAtTheFirstAckEndsTheRunAtOnce) {
  const std::filesystem::path file = Begin(100);
  std::filesystem::remove(file);
  Ack();
  EXPECT_TRUE(Ui().reports.empty()) << "no chunk of a file that is gone";
  EXPECT_TRUE(m_updateComplete);
  ExpectFailureShownOnce(Ui(), P());
  // Further acknowledgements resume nothing and the watchdog stays quiet.
  Ui().ClearRecords();
  Ack();
  EXPECT_EQ(TickUntilMessage(0, 30000), std::nullopt);
  EXPECT_TRUE(Ui().messages.empty());
  for (const auto& report : Ui().reports) EXPECT_NE(report[5], SET_FIRMWARE_DATA) << "no data command after the end";
}

INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineStateFileChanges, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());

// ---- Watchdog -----------------------------------------------------------------

class EngineStateWatchdog : public EngineState {};

TEST_P(EngineStateWatchdog, SilenceAfterTheUpdateRequestEndsTheRun) {
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  ASSERT_FALSE(TickUntilMessage(1000, 10900).has_value()) << "9.9 s";
  EXPECT_FALSE(m_updateComplete);
  EXPECT_EQ(TickUntilMessage(11000, 11000), std::optional<uint64_t>(11000));
  ExpectFailureShownOnce(Ui(), P());
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_FALSE(TickUntilMessage(11100, 60000).has_value()) << "the watchdog ends a run once";
}

TEST_P(EngineStateWatchdog, SilenceAfterTheHeaderEndsTheRun) {
  Begin(100);
  const std::optional<uint64_t> fired = TickUntilMessage(5000, 40000);
  ASSERT_TRUE(fired.has_value());
  EXPECT_GE(*fired, 15000u);
  EXPECT_LE(*fired, 15100u);
  ExpectFailureShownOnce(Ui(), P());
  Ui().ClearRecords();
  Ack();
  EXPECT_TRUE(Ui().log.empty()) << "a late acknowledgement does not revive the run";
}

TEST_P(EngineStateWatchdog, SilenceMidTransferEndsTheRunAndNineNineSecondsDoNot) {
  Begin(100);
  Ack();
  Ack();
  ASSERT_FALSE(TickUntilMessage(0, 9900).has_value());
  ASSERT_FALSE(TickUntilMessage(9999, 9999).has_value());
  EXPECT_EQ(TickUntilMessage(10000, 10000), std::optional<uint64_t>(10000));
  ExpectFailureShownOnce(Ui(), P());
}

TEST_P(EngineStateWatchdog, TimeTheFrontEndWasHeldIsNotTheControllersSilence) {
  // An application-modal alert holds back the clock and the controller's
  // answer alike: the late tick must not judge the wait it could not see.
  struct Case {
    const char* what;
    uint64_t heldFrom, heldUntil;  // the tick before and the tick after the gap
    std::optional<uint64_t> fires;
  };
  const Case cases[] = {
      {"held 11 s mid-wait: the count starts again", 5000, 16000, 26000},
      {"held 1.1 s", 5000, 6100, 16100},
      {"a tick 1 s late is still the clock's own pace", 5000, 6000, 10000},
      {"the clock went back", 5000, 2000, 12000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(P());
    Begin(100);
    Ack();
    ASSERT_FALSE(TickUntilMessage(0, c.heldFrom).has_value());
    EXPECT_EQ(TickUntilMessage(c.heldUntil, 40000), c.fires);
  }
}

TEST_P(EngineStateWatchdog, AnyControllerMessageRestartsTheCount) {
  const Message messages[] = {EventMessage(FIRMWARE_ACK), EventMessage(0x07), VersionMessage(100, 0)};
  for (const Message& message : messages) {
    SCOPED_TRACE(Hex(Bytes(message.begin(), message.begin() + 5)));
    Start(P());
    Begin(100);
    ASSERT_FALSE(TickUntilMessage(0, 9000).has_value());
    Deliver(message);
    EXPECT_FALSE(TickUntilMessage(9100, 18900).has_value()) << "9.9 s after the message";
    EXPECT_TRUE(TickUntilMessage(19000, 19200).has_value());
    ExpectFailureShownOnce(Ui(), P());
  }
}

TEST_P(EngineStateWatchdog, AnIdentityIgnoredDuringTheTransferDoesNotPutTheFailureOff) {
  // The transfer does not restart on a second identity, so that identity is
  // no sign of the transfer going on: the silence counts from the last
  // acknowledgement.
  Begin(100);
  Ack();
  ASSERT_FALSE(TickUntilMessage(0, 5000).has_value());
  Ui().ClearRecords();
  Deliver(IdentityMessage(1));
  EXPECT_TRUE(Ui().reports.empty()) << "an identity mid-transfer starts nothing";
  EXPECT_EQ(TickUntilMessage(5100, 20000), std::optional<uint64_t>(10000));
  ExpectFailureShownOnce(Ui(), P());
}

TEST_P(EngineStateWatchdog, NoWatchdogWhileTheUserChoosesTheFile) {
  Ui().files.push_back(Firmware(100));
  Ui().onChooseFile = [this] { ASSERT_FALSE(TickUntilMessage(0, 60000, 1000).has_value()); };
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  WatchdogTick(0);
  Deliver(IdentityMessage(1));
  EXPECT_TRUE(Ui().messages.empty());
  EXPECT_EQ(Ui().fileChoices.size(), 1u);
}

TEST_P(EngineStateWatchdog, NoWatchdogAfterTheRunEnded) {
  Begin(40);
  Ack();
  Ack();
  Ack();
  ASSERT_EQ(Ui().messages.size(), 1u);
  EXPECT_FALSE(TickUntilMessage(0, 60000, 500).has_value());
}

TEST(EngineStateWatchdogMacos, NoWatchdogWhileTheConfirmationIsPending) {
  TempDir dir;
  RecordingFrontEnd ui(Platform::Macos);
  EngineStartUp(EngineSetup{Platform::Macos, &ui, nullptr});
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(100, 1);
  ui.files.push_back(WriteFirmware(dir / "fw.dat", firmware));
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  WatchdogTick(0);
  Deliver(IdentityMessage(1));
  ASSERT_EQ(ui.confirmations.size(), 1u);
  for (uint64_t now = 0; now <= 120000; now += 100) WatchdogTick(now);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_FALSE(m_updateComplete);

  ConfirmationEnded(kTarget, true);
  for (uint64_t now = 120100; now <= 130000 && ui.messages.empty(); now += 100) WatchdogTick(now);
  EXPECT_TRUE(ui.messages.empty());
  WatchdogTick(130100);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Firmware update failure!");
  EngineStartUp(EngineSetup{Platform::Macos, nullptr, nullptr});
}

INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineStateWatchdog, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());
INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineState, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());

}  // namespace
}  // namespace enginetest
