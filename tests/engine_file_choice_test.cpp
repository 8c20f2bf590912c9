// The choice of the firmware file after the controller's identity: which
// files are refused, the confirmation texts of each platform, the outcome of
// the confirmation, and the header reader underneath.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "engine_test_support.h"

namespace enginetest {
namespace {

const char* const kTitle = "Korvid Tools v1.04";

SampleFirmware MakeFirmware(uint16_t version, uint16_t beta, std::size_t payloadSize, uint32_t word1 = 0x4B560001) {
  SampleFirmware firmware;
  firmware.version = version;
  firmware.beta = beta;
  firmware.headerWord1 = word1;
  firmware.payload = MakeSamplePayload(payloadSize, version + beta);
  return firmware;
}

Bytes ExpectedHeader(const SampleFirmware& firmware) {
  return HeaderReport(static_cast<uint32_t>(firmware.version) | (static_cast<uint32_t>(firmware.beta) << 16),
                      firmware.headerWord1, static_cast<uint32_t>(firmware.payload.size()));
}

class EngineFileChoice : public EnginePlatformFixture {
 protected:
  Platform P() const { return GetParam(); }

  // Version report, update request, then the identity that opens the file choice.
  void ReachFileChoice(uint8_t identityPacketType = PACKET_TYPE_HID) {
    Deliver(VersionMessage(100, 0));
    RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
    Ui().ClearRecords();
    Deliver(IdentityMessage(1), identityPacketType);
  }

  // Nothing sent, nothing shown, the run over, the state machine untouched.
  void ExpectRefusedSilently() {
    EXPECT_EQ(Ui().fileChoices.size(), 1u);
    EXPECT_TRUE(Ui().confirmations.empty());
    EXPECT_TRUE(Ui().reports.empty());
    EXPECT_TRUE(Ui().streams.empty());
    EXPECT_TRUE(Ui().messages.empty());
    EXPECT_TRUE(Ui().enables.empty()) << "the button stays as it was after a refused file";
    EXPECT_EQ(Ui().transfersStarted, 0);
    EXPECT_TRUE(m_updateComplete);
    EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
  }

  // Confirms on macOS (Windows confirmed inside the file choice).
  void ConfirmIfPending() {
    if (P() == Platform::Macos) ConfirmationEnded(kTarget, true);
  }

  // Drives the transfer to the end; returns the payload bytes the data commands carried.
  Bytes RunTransfer() {
    Bytes sent;
    for (int i = 0; i < 1000 && Ui().messages.empty(); ++i) {
      const std::size_t before = Ui().reports.size();
      Ack();
      for (std::size_t r = before; r < Ui().reports.size(); ++r) {
        const Bytes counted = Counted(Ui().reports[r]);
        if (counted[0] > 7 && counted[5] == SET_FIRMWARE_DATA) sent = Join(sent, Slice(counted, 8, counted[0] - 7));
      }
    }
    return sent;
  }
};

TEST_P(EngineFileChoice, CancelledFileChoiceEndsTheRunWithNothingSent) {
  ReachFileChoice();
  EXPECT_EQ(Ui().fileChoices.size(), 1u);
  EXPECT_TRUE(Ui().confirmations.empty());
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().messages.empty());
  EXPECT_TRUE(m_updateComplete);
  if (P() == Platform::Macos) {
    EXPECT_EQ(Ui().enables, std::vector<ButtonRule>{ButtonRule::Always});
  } else {
    EXPECT_TRUE(Ui().enables.empty());
  }
  for (uint64_t now = 0; now <= 60000; now += 1000) WatchdogTick(now);
  EXPECT_TRUE(Ui().messages.empty()) << "no watchdog after the run ended";
}

TEST_P(EngineFileChoice, FilesThatCannotBeSentAreRefusedSilently) {
  SampleFirmware zero = MakeFirmware(110, 0, 0);
  zero.trailing = Bytes(10, 0x55);
  SampleFirmware shortPayload = MakeFirmware(110, 0, 99);
  shortPayload.announcedSize = 100;
  SampleFirmware headerOnly = MakeFirmware(110, 0, 0);
  headerOnly.announcedSize = 1;
  SampleFirmware hugeAnnounced = MakeFirmware(110, 0, 64);
  hugeAnnounced.announcedSize = 0xFFFFFFFF;
  const Bytes twentySeven = Slice(FirmwareFileBytes(MakeFirmware(110, 0, 100)), 0, 27);

  struct Case {
    const char* name;
    std::optional<Bytes> bytes;  // nothing: the path does not exist
  };
  const Case cases[] = {
      {"27-byte file", twentySeven},
      {"empty file", Bytes{}},
      {"payloadSize 0", FirmwareFileBytes(zero)},
      {"one byte short of its payload", FirmwareFileBytes(shortPayload)},
      {"header only", FirmwareFileBytes(headerOnly)},
      {"payloadSize near 4 GiB", FirmwareFileBytes(hugeAnnounced)},
      {"missing file", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(P());
    const std::filesystem::path file = dir_ / "refused.dat";
    std::filesystem::remove(file);
    if (c.bytes) WriteRawFile(file, *c.bytes);
    Ui().files.push_back(file);
    ReachFileChoice();
    ExpectRefusedSilently();
  }
}

TEST_P(EngineFileChoice, ChosenDirectoryIsRefusedSilently) {
  Ui().files.push_back(dir_.Path());
  ReachFileChoice();
  ExpectRefusedSilently();
}

TEST_P(EngineFileChoice, FileWithExactlyItsPayloadOrTrailingBytesIsAccepted) {
  for (const std::size_t trailing : {std::size_t{0}, std::size_t{5}, std::size_t{1000}}) {
    SCOPED_TRACE(trailing);
    Start(P());
    SampleFirmware firmware = MakeFirmware(110, 0, 100);
    firmware.trailing = Bytes(trailing, 0xEE);
    Ui().files.push_back(WriteFirmware(dir_ / "ok.dat", firmware));
    ReachFileChoice();
    ASSERT_EQ(Ui().confirmations.size(), 1u);
    ConfirmIfPending();
    ASSERT_EQ(Ui().reports.size(), 1u);
    EXPECT_EQ(Hex(Counted(Ui().reports[0])), Hex(ExpectedHeader(firmware)));
    EXPECT_EQ(m_handleFirmeWare.payloadSize, 100u);
    // The last chunk is what the read returns, so it may carry trailing bytes;
    // the payload ends the transfer all the same.
    const Bytes sent = RunTransfer();
    EXPECT_EQ(Slice(sent, 0, 100), firmware.payload);
    EXPECT_EQ(sent.size(), std::min<std::size_t>(128, 100 + trailing));
    EXPECT_EQ(Slice(Bytes(Ui().progress.begin(), Ui().progress.end()), 0, 3), (Bytes{64, 96, 100}));
  }
}

TEST_P(EngineFileChoice, ChoiceFillsTheRecordsAndTheHeaderCarriesNoFileBytesPastWord2) {
  const SampleFirmware firmware = MakeFirmware(110, 3, 100, 0xCAFEF00D);
  const std::filesystem::path file = WriteFirmware(dir_ / "records.dat", firmware);
  Ui().files.push_back(file);
  ReachFileChoice();
  EXPECT_EQ(m_FilePathName, file);
  EXPECT_EQ(m_handleFirmeWare.fileVersion, 0x0003006Eu);
  EXPECT_EQ(m_handleFirmeWare.headerWord1, 0xCAFEF00Du);
  EXPECT_EQ(m_handleFirmeWare.payloadSize, 100u);
  EXPECT_EQ(m_handleFirmeWare.offset, 0u);
  EXPECT_EQ(m_firmwareHeader.version, 110);
  EXPECT_EQ(m_firmwareHeader.beta, 3);
  const Bytes fileBytes = FirmwareFileBytes(firmware);
  EXPECT_EQ(Bytes(std::begin(m_firmwareHeader.reserved), std::end(m_firmwareHeader.reserved)),
            Slice(fileBytes, 12, 16));
  ConfirmIfPending();
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Hex(Counted(Ui().reports[0])), Hex(ExpectedHeader(firmware))) << "header bytes 12..27 are zero";
  EXPECT_TRUE(TailIsZero(Ui().reports[0]));
  EXPECT_EQ(g_firmware_update_state, UPDATE_HEADER_SENT);
  EXPECT_EQ(Ui().transfersStarted, 1);
  EXPECT_FALSE(m_updateComplete);
}

TEST_P(EngineFileChoice, FilterAndExtensionOfTheFileChoice) {
  ReachFileChoice();
  ASSERT_EQ(Ui().fileChoices.size(), 1u);
  EXPECT_EQ(Ui().fileChoices[0].extension, "dat");
  EXPECT_EQ(Ui().fileChoices[0].filterText, P() == Platform::Windows ? "File type(*.dat)|*.dat||" : "");
}

TEST_P(EngineFileChoice, NonAsciiFileNameWorksThroughTheWholeTransfer) {
  const SampleFirmware firmware = MakeFirmware(110, 0, 100);
  const std::filesystem::path file = WriteFirmware(dir_ / std::filesystem::u8path("固件 ü.dat"), firmware);
  Ui().files.push_back(file);
  ReachFileChoice();
  EXPECT_EQ(m_FilePathName, file);
  ConfirmIfPending();
  EXPECT_EQ(RunTransfer(), firmware.payload);
  ASSERT_EQ(Ui().messages.size(), 1u);
  EXPECT_NE(Ui().messages[0].text.find("upgraded"), std::string::npos);
}

TEST_P(EngineFileChoice, SecondChoiceAfterCancelledConfirmationReplacesPathAndRecord) {
  const SampleFirmware first = MakeFirmware(110, 0, 100, 0x11111111);
  const SampleFirmware second = MakeFirmware(120, 1, 64, 0x22222222);
  const std::filesystem::path firstFile = WriteFirmware(dir_ / "first.dat", first);
  const std::filesystem::path secondFile = WriteFirmware(dir_ / "second.dat", second);
  Ui().files = {firstFile, secondFile};
  if (P() == Platform::Windows) Ui().answers = {ConfirmAnswer::Cancel, ConfirmAnswer::Ok};

  ReachFileChoice();
  if (P() == Platform::Macos) ConfirmationEnded(kTarget, false);
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(m_updateComplete);
  EXPECT_EQ(m_FilePathName, firstFile);

  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  Deliver(IdentityMessage(1));
  ConfirmIfPending();
  EXPECT_EQ(m_FilePathName, secondFile);
  EXPECT_EQ(m_handleFirmeWare.fileVersion, 120u | (1u << 16));
  EXPECT_EQ(m_handleFirmeWare.headerWord1, 0x22222222u);
  EXPECT_EQ(m_handleFirmeWare.payloadSize, 64u);
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Hex(Counted(Ui().reports[0])), Hex(ExpectedHeader(second)));
  EXPECT_EQ(RunTransfer(), second.payload);
}

TEST_P(EngineFileChoice, IdentityOnceTheHeaderIsOutChangesNothingOfTheTransfer) {
  // Right after the header, and mid-transfer: a second controller's identity
  // (or a stray one) must neither restart nor abandon the running transfer.
  for (const int acksBefore : {0, 2}) {
    SCOPED_TRACE(acksBefore);
    Start(P());
    const SampleFirmware firmware = MakeFirmware(110, 0, 100);
    Ui().files = {WriteFirmware(dir_ / "fw.dat", firmware)};
    ReachFileChoice();
    ConfirmIfPending();
    Bytes sent;
    for (int i = 0; i < acksBefore; ++i) {
      Ui().ClearRecords();
      Ack();
      sent = Join(sent, Slice(Counted(Ui().reports.at(0)), 8, 32));
    }
    Ui().ClearRecords();
    Deliver(IdentityMessage(1));
    EXPECT_TRUE(Ui().fileChoices.empty());
    EXPECT_TRUE(Ui().log.empty()) << "nothing sent, nothing shown";
    EXPECT_EQ(m_handleFirmeWare.offset, 32u * acksBefore);
    EXPECT_EQ(Join(sent, RunTransfer()), firmware.payload);
  }
}

INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineFileChoice, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());

// ---- Confirmation texts --------------------------------------------------------

struct TextCase {
  Platform platform;
  TextLanguage language;
  uint16_t fileVersion;
  uint16_t fileBeta;
  uint16_t deviceVersion;
  uint16_t deviceBeta;
  const char* title;
  const char* text;
};

class EngineFileChoiceText : public EngineFixture, public testing::WithParamInterface<TextCase> {};

TEST_P(EngineFileChoiceText, ConfirmationShowsTheFileVersion) {
  const TextCase& c = GetParam();
  Start(c.platform, c.language);
  Ui().files.push_back(WriteFirmware(dir_ / "fw.dat", MakeFirmware(c.fileVersion, c.fileBeta, 64)));
  Deliver(VersionMessage(c.deviceVersion, c.deviceBeta));
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Deliver(IdentityMessage(1));
  ASSERT_EQ(Ui().confirmations.size(), 1u);
  EXPECT_EQ(Ui().confirmations[0].title, c.title);
  EXPECT_EQ(Ui().confirmations[0].text, c.text);
  EXPECT_EQ(Ui().confirmations[0].target, kTarget);
}

INSTANTIATE_TEST_SUITE_P(EngineTexts, EngineFileChoiceText,
                         testing::Values(TextCase{Platform::Macos, TextLanguage::English, 110, 0, 100, 0, "Note",
                                                  "The File Firmware Version:  v1.10"},
                                         TextCase{Platform::Macos, TextLanguage::English, 110, 3, 100, 0, "Note",
                                                  "The File Firmware Version:  v1.10 beta:3"},
                                         TextCase{Platform::Macos, TextLanguage::English, 5, 0, 100, 0, "Note",
                                                  "The File Firmware Version:  v0.05"},
                                         TextCase{Platform::Windows, TextLanguage::English, 110, 0, 100, 0, kTitle,
                                                  "New firmware 1.10 and current is 1.00\n"},
                                         TextCase{Platform::Windows, TextLanguage::English, 110, 3, 100, 0, kTitle,
                                                  "New firmware 1967.18 and current is 1.00\n"},
                                         TextCase{Platform::Windows, TextLanguage::English, 110, 0, 105, 2, kTitle,
                                                  "New firmware 1.10 and current is 1311.77\n"},
                                         TextCase{Platform::Windows, TextLanguage::Chinese, 110, 0, 100, 0, kTitle,
                                                  "升级新固件 1.10 当前版本为 1.00\n"}),
                         [](const testing::TestParamInfo<TextCase>& info) {
                           return PlatformName(info.param.platform) +
                                  (info.param.language == TextLanguage::Chinese ? "_zh_" : "_en_") +
                                  std::to_string(info.param.fileVersion) + "_beta" +
                                  std::to_string(info.param.fileBeta) + "_dev" +
                                  std::to_string(info.param.deviceVersion) + "_" +
                                  std::to_string(info.param.deviceBeta);
                         });

TEST(EngineFileChoiceText, WindowsConfirmationWithoutAReportedVersionShowsOnlyTheFilesOne) {
  for (const auto& [language, text] : {std::pair{TextLanguage::English, "New firmware 1.10\n"},
                                       std::pair{TextLanguage::Chinese, "升级新固件 1.10\n"}}) {
    RecordingFrontEnd ui(Platform::Windows, language);
    EngineStartUp(EngineSetup{Platform::Windows, &ui, nullptr});
    TempDir dir;
    ui.files.push_back(WriteFirmware(dir.Path() / "fw.dat", MakeFirmware(110, 0, 64)));
    cur_devVersion = VERSION_UNKNOWN;  // what the dialog leaves when its query gave up
    RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
    Deliver(IdentityMessage(1));
    ASSERT_EQ(ui.confirmations.size(), 1u);
    EXPECT_EQ(ui.confirmations[0].text, text);
    EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
  }
}

TEST(EngineFileChoiceChinese, WindowsFilterFollowsTheLanguage) {
  RecordingFrontEnd ui(Platform::Windows, TextLanguage::Chinese);
  EngineStartUp(EngineSetup{Platform::Windows, &ui, nullptr});
  Deliver(IdentityMessage(1));
  ASSERT_EQ(ui.fileChoices.size(), 1u);
  EXPECT_EQ(ui.fileChoices[0].filterText, "文件类型中显示的内容(*.dat)|*.dat||");
  EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
}

// ---- Confirmation outcome ------------------------------------------------------

class EngineFileChoiceWindows : public EngineFixture {
 protected:
  void SetUp() override { Start(Platform::Windows); }
};

TEST_F(EngineFileChoiceWindows, CancelEndsTheRunWithNothingSent) {
  Ui().files.push_back(WriteFirmware(dir_ / "fw.dat", MakeFirmware(110, 0, 100)));
  Ui().answers = {ConfirmAnswer::Cancel};
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  Deliver(IdentityMessage(1));
  EXPECT_EQ(Ui().confirmations.size(), 1u);
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().messages.empty());
  EXPECT_TRUE(Ui().enables.empty());
  EXPECT_EQ(Ui().transfersStarted, 0);
  EXPECT_TRUE(m_updateComplete);
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
}

TEST_F(EngineFileChoiceWindows, OkSendsTheHeaderInsideTheFileChoice) {
  const SampleFirmware firmware = MakeFirmware(110, 0, 100);
  Ui().files.push_back(WriteFirmware(dir_ / "fw.dat", firmware));
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  Deliver(IdentityMessage(1));
  EXPECT_EQ(Ui().log, (std::vector<std::string>{"choose file", "confirm New firmware 1.10 and current is 0.00\n",
                                                "report " + Hex(ExpectedHeader(firmware)), "transfer started"}));
  EXPECT_EQ(g_firmware_update_state, UPDATE_HEADER_SENT);
  EXPECT_FALSE(m_updateComplete);
}

class EngineFileChoiceMacos : public EngineFixture {
 protected:
  void SetUp() override { Start(Platform::Macos); }
};

TEST_F(EngineFileChoiceMacos, PendingConfirmationSendsTheHeaderOnThePacketTypeOfTheVersionReport) {
  const SampleFirmware firmware = MakeFirmware(110, 0, 100);
  Ui().files.push_back(WriteFirmware(dir_ / "fw.dat", firmware));
  Deliver(VersionMessage(100, 0), PACKET_TYPE_HID);
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  // The identity comes on the stream link: nothing can be written on it here.
  Deliver(IdentityMessage(1), PACKET_TYPE_RFCOMM);
  EXPECT_EQ(Ui().confirmations.size(), 1u);
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().streams.empty());
  EXPECT_FALSE(m_updateComplete) << "the run waits for the user's answer";

  constexpr DeviceTarget kSheetTarget = 0x1234;
  ConfirmationEnded(kSheetTarget, true);
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Ui().reportTargets[0], kSheetTarget);
  EXPECT_EQ(Hex(Counted(Ui().reports[0])), Hex(ExpectedHeader(firmware)));
  EXPECT_EQ(g_firmware_update_state, UPDATE_HEADER_SENT);
  EXPECT_EQ(Ui().transfersStarted, 1);

  ConfirmationEnded(kSheetTarget, true);
  ConfirmationEnded(kSheetTarget, false);
  EXPECT_EQ(Ui().reports.size(), 1u) << "an answer with no sheet open changes nothing";
  EXPECT_TRUE(Ui().enables.empty());
  EXPECT_FALSE(m_updateComplete);
}

TEST_F(EngineFileChoiceMacos, CancelledConfirmationEnablesTheButtonAndEndsTheRun) {
  Ui().files.push_back(WriteFirmware(dir_ / "fw.dat", MakeFirmware(110, 0, 100)));
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Ui().ClearRecords();
  Deliver(IdentityMessage(1));
  ConfirmationEnded(kTarget, false);
  EXPECT_EQ(Ui().enables, std::vector<ButtonRule>{ButtonRule::Always});
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().messages.empty());
  EXPECT_TRUE(m_updateComplete);
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
  Ack();
  EXPECT_EQ(Ui().log.back(), "report " + Hex(CompletionReport())) << "an ACK at rest only completes";
  EXPECT_TRUE(Ui().messages.empty());
}

TEST_F(EngineFileChoiceMacos, AnswerToASheetSupersededByARefusedChoiceStartsNothing) {
  Ui().files.push_back(WriteFirmware(dir_ / "first.dat", MakeFirmware(110, 0, 100)));
  // The second file announces 1000 payload bytes but holds 100: refused.
  SampleFirmware shortFile = MakeFirmware(120, 0, 100);
  shortFile.announcedSize = 1000;
  Ui().files.push_back(WriteFirmware(dir_ / "second.dat", shortFile));
  RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  Deliver(IdentityMessage(1));  // the first sheet opens
  Deliver(IdentityMessage(1));  // the controller starts over; the second file is refused
  Ui().ClearRecords();

  ConfirmationEnded(kTarget, true);  // the user answers the first sheet
  EXPECT_TRUE(Ui().reports.empty()) << "no header for a record the refused choice left behind";
  for (int i = 0; i < 4; ++i) Ack();
  EXPECT_EQ(Ui().reports.size(), 4u);
  for (const ReportBytes& report : Ui().reports) EXPECT_EQ(Hex(Counted(report)), Hex(CompletionReport()));
  EXPECT_TRUE(Ui().messages.empty());
}

TEST_F(EngineFileChoiceMacos, StrayAnswerWithoutASheetIsIgnored) {
  ConfirmationEnded(kTarget, true);
  ConfirmationEnded(kTarget, false);
  EXPECT_TRUE(Ui().log.empty());
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
}

// ---- Header reader -----------------------------------------------------------

Bytes HeaderBytes(uint32_t payloadSize) {
  Bytes bytes(kFirmwareHeaderSize, 0);
  WriteLe32(bytes.data() + 8, payloadSize);
  return bytes;
}

TEST(EngineFirmwareImage, CheckJudgesHeaderAndSize) {
  struct Case {
    const char* name;
    uint32_t payloadSize;
    std::size_t available;
    uint64_t fileSize;
    FirmwareFileCheck expected;
  };
  const Case cases[] = {
      {"no bytes", 100, 0, 0, FirmwareFileCheck::ShortHeader},
      {"27 bytes read", 100, 27, 1000, FirmwareFileCheck::ShortHeader},
      {"27-byte file", 100, 28, 27, FirmwareFileCheck::ShortHeader},
      {"empty payload", 0, 28, 1000, FirmwareFileCheck::EmptyPayload},
      {"one byte short", 100, 28, 127, FirmwareFileCheck::ShortPayload},
      {"header only", 1, 28, 28, FirmwareFileCheck::ShortPayload},
      {"exact", 100, 28, 128, FirmwareFileCheck::Ok},
      {"trailing bytes", 100, 28, 129, FirmwareFileCheck::Ok},
      {"largest payload, exact", 0xFFFFFFFF, 28, 28ull + 0xFFFFFFFFull, FirmwareFileCheck::Ok},
      {"largest payload, one short", 0xFFFFFFFF, 28, 27ull + 0xFFFFFFFFull, FirmwareFileCheck::ShortPayload},
      {"huge file", 0xFFFFFFFF, 28, std::numeric_limits<uint64_t>::max(), FirmwareFileCheck::Ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes header = HeaderBytes(c.payloadSize);
    EXPECT_EQ(CheckFirmwareImage(header.data(), c.available, c.fileSize), c.expected);
  }
}

TEST(EngineFirmwareImage, InspectReadsTheHeaderAndTheSize) {
  TempDir dir;
  SampleFirmware firmware = MakeFirmware(110, 3, 100, 0x01020304);
  firmware.trailing = Bytes(5, 0x99);
  const std::filesystem::path good = WriteFirmware(dir / std::filesystem::u8path("ü固件.dat"), firmware);
  const FirmwareFileInfo info = InspectFirmwareFile(good);
  EXPECT_EQ(info.check, FirmwareFileCheck::Ok);
  EXPECT_EQ(info.fileSize, 133u);
  EXPECT_EQ(info.header.version, 110);
  EXPECT_EQ(info.header.beta, 3);
  EXPECT_EQ(info.header.headerWord1, 0x01020304u);
  EXPECT_EQ(info.header.payloadSize, 100u);
  EXPECT_EQ(Bytes(std::begin(info.header.reserved), std::end(info.header.reserved)),
            Slice(FirmwareFileBytes(firmware), 12, 16));

  EXPECT_EQ(InspectFirmwareFile(dir / "missing.dat").check, FirmwareFileCheck::CannotOpen);

  const std::filesystem::path shortFile = dir / "short.dat";
  WriteRawFile(shortFile, Slice(FirmwareFileBytes(firmware), 0, 27));
  const FirmwareFileInfo shortInfo = InspectFirmwareFile(shortFile);
  EXPECT_EQ(shortInfo.check, FirmwareFileCheck::ShortHeader);
  EXPECT_EQ(shortInfo.fileSize, 27u);

  SampleFirmware announced = firmware;
  announced.trailing.clear();
  announced.announcedSize = 101;
  const std::filesystem::path shortPayload = WriteFirmware(dir / "payload.dat", announced);
  EXPECT_EQ(InspectFirmwareFile(shortPayload).check, FirmwareFileCheck::ShortPayload);

  announced.announcedSize = 0;
  const std::filesystem::path empty = WriteFirmware(dir / "empty.dat", announced);
  EXPECT_EQ(InspectFirmwareFile(empty).check, FirmwareFileCheck::EmptyPayload);
}

}  // namespace
}  // namespace enginetest
