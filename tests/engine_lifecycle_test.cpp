// The engine's life around a run: calls before start-up and after shut-down,
// a start that is not yet at rest, a confirmation answered before or after
// AskConfirmation returns, and the served controller going away.
#include <gtest/gtest.h>

#include "engine_test_support.h"

namespace enginetest {
namespace {

class EngineLifecycle : public EnginePlatformFixture {
 protected:
  std::filesystem::path Firmware(std::size_t size) {
    SampleFirmware firmware;
    firmware.payload = MakeSamplePayload(size, 3);
    return WriteFirmware(dir_ / "fw.dat", firmware);
  }
  void Ack() { Deliver(EventMessage(FIRMWARE_ACK)); }
  Platform P() const { return GetParam(); }
  int DataCommands() {
    int count = 0;
    for (const auto& report : Ui().reports)
      if (report[2] == MSG_FIRMWARE && report[5] == SET_FIRMWARE_DATA) ++count;
    return count;
  }
};

// Everything a front-end or a late thread might call, with a live update in
// between so that a crash on stale state would show.
void CallEveryEntryPoint(const std::filesystem::path& file) {
  Deliver(VersionMessage(105, 0));
  Deliver(IdentityMessage(1));
  Deliver(EventMessage(FIRMWARE_ACK));
  Deliver(EventMessage(FIRMWARE_FAIL_21));
  OnDataReceived(kTarget, PACKET_TYPE_HID, nullptr, 0);
  EXPECT_FALSE(RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID));
  ConfirmationEnded(kTarget, true);
  WatchdogTick(0);
  WatchdogTick(60000);
  ControllerRemoved();
  ControllerAttached();
  updateInit();
  SendFirmwarePacket(kTarget, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
  Rfcomm_DriverCmd(kTarget, PACKET_TYPE_HID, MSG_READ_FAILED, 0);
  m_FilePathName = file;
  EXPECT_FALSE(GetUpdateFileName(kTarget, PACKET_TYPE_HID));
  Firmware_UpdateError();
  Close_FirmwareUpdate();
}

TEST_P(EngineLifecycle, EntryPointsAfterShutDownAndBeforeTheNextStartDoNothing) {
  const std::filesystem::path file = Firmware(100);
  BeginUpdate(file);  // a transfer in progress, file open
  EngineShutDown();
  EXPECT_FALSE(EngineStarted());
  EXPECT_FALSE(m_handleFirmeWare.file.is_open()) << "shut-down closes the firmware file";

  Ui().ClearRecords();
  Ui().files.push_back(file);
  CallEveryEntryPoint(file);
  EXPECT_TRUE(Ui().log.empty()) << "an unbound engine reached the front-end: " << Ui().log.front();

  // Started again, it works as new.
  EngineStartUp(EngineSetup{P(), &Ui(), nullptr});
  EXPECT_TRUE(EngineStarted());
  Ui().ClearRecords();
  EXPECT_TRUE(RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID));
  EXPECT_FALSE(m_updateComplete);
}

TEST_P(EngineLifecycle, NotAtRestUntilTheFrontEndSaysSoAcknowledgementsAreIgnored) {
  EngineStartUp(EngineSetup{P(), &Ui(), nullptr, false});
  EXPECT_EQ(g_firmware_update_state, 0);
  Ack();
  EXPECT_TRUE(Ui().reports.empty()) << "an ACK during the start-up version query sends nothing";
  Deliver(VersionMessage(105, 0));
  EXPECT_EQ(Ui().versions.size(), 1u) << "the version report is handled";
  g_firmware_update_state = UPDATE_DATA_SENT;
  Ack();
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Counted(Ui().reports[0]), CompletionReport()) << "at rest, an ACK gets the completion command";
}

TEST_P(EngineLifecycle, ControllerRemovedMidTransferFailsOnceAndNothingResumes) {
  BeginUpdate(Firmware(200));
  Ack();
  Ack();
  Ui().ClearRecords();
  ControllerRemoved();
  EXPECT_TRUE(m_updateComplete);
  ExpectFailureShownOnce(Ui(), P());
  EXPECT_FALSE(m_handleFirmeWare.file.is_open());

  Ui().ClearRecords();
  ControllerRemoved();  // a second notice of the same removal
  Ack();                // a report that was already on its way
  WatchdogTick(0);
  WatchdogTick(20000);
  EXPECT_TRUE(Ui().messages.empty());
  EXPECT_EQ(DataCommands(), 0);
}

TEST_P(EngineLifecycle, ControllerRemovedWhileWaitingForTheIdentityFails) {
  ASSERT_TRUE(RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID));
  Ui().ClearRecords();
  ControllerRemoved();
  EXPECT_TRUE(m_updateComplete);
  ExpectFailureShownOnce(Ui(), P());
}

TEST_P(EngineLifecycle, ControllerRemovedAtRestShowsNothing) {
  Deliver(VersionMessage(105, 0));
  Ui().ClearRecords();
  ControllerRemoved();
  EXPECT_TRUE(Ui().log.empty());
  EXPECT_TRUE(m_updateComplete);
}

INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineLifecycle, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());

// ---- The macOS sheet: the answer may come inside AskConfirmation ------------

class EngineSheetOrder : public EngineFixture, public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { Start(Platform::Macos); }
  std::filesystem::path Firmware() {
    SampleFirmware firmware;
    firmware.payload = MakeSamplePayload(40, 9);
    return WriteFirmware(dir_ / "fw.dat", firmware);
  }
  bool AnswerInside() const { return GetParam(); }

  // The user answers `ok`: inside AskConfirmation (GNUstep's nested sheet)
  // or after it returned (macOS's window-modal sheet).
  void RunToTheAnswer(bool ok) {
    Ui().files.push_back(Firmware());
    if (AnswerInside()) Ui().onAskConfirmation = [ok] { ConfirmationEnded(kTarget, ok); };
    ASSERT_TRUE(RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID));
    Deliver(VersionMessage(105, 0));
    Ui().ClearRecords();
    Deliver(IdentityMessage(1));
    if (!AnswerInside()) ConfirmationEnded(kTarget, ok);
  }
};

TEST_P(EngineSheetOrder, OkSendsTheHeaderOnceAndTheTransferRuns) {
  RunToTheAnswer(true);
  int headers = 0;
  for (const auto& report : Ui().reports) headers += report[5] == SET_FIRMWARE_HEADER;
  EXPECT_EQ(headers, 1);
  EXPECT_EQ(g_firmware_update_state, UPDATE_HEADER_SENT);
  EXPECT_FALSE(m_updateComplete);
  EXPECT_EQ(Ui().transfersStarted, 1);

  Deliver(EventMessage(FIRMWARE_ACK));  // 32 bytes
  Deliver(EventMessage(FIRMWARE_ACK));  // last 8 bytes
  Deliver(EventMessage(FIRMWARE_ACK));  // completion
  EXPECT_TRUE(m_updateComplete);
  ASSERT_FALSE(Ui().messages.empty());
  EXPECT_EQ(Ui().messages.back().text, "Firmware upgraded successful!");
  ConfirmationEnded(kTarget, true);  // a stray second answer
  EXPECT_EQ(Ui().transfersStarted, 1);
}

TEST_P(EngineSheetOrder, CancelEndsTheRunAndEnablesTheButtonOnce) {
  RunToTheAnswer(false);
  for (const auto& report : Ui().reports) EXPECT_NE(report[5], SET_FIRMWARE_HEADER);
  EXPECT_TRUE(m_updateComplete);
  EXPECT_EQ(Ui().enables.size(), 1u);
  EXPECT_TRUE(Ui().messages.empty());
  WatchdogTick(0);
  WatchdogTick(30000);
  EXPECT_TRUE(Ui().messages.empty()) << "no watchdog waits on a cancelled run";
}

INSTANTIATE_TEST_SUITE_P(Orders, EngineSheetOrder, testing::Bool(), [](const testing::TestParamInfo<bool>& info) {
  return info.param ? std::string("AnswerInsideAskConfirmation") : std::string("AnswerAfterAskConfirmation");
});

// On macOS the sheet stays open while the controller can go away.
class EngineSheetOpen : public EngineFixture {
 protected:
  void SetUp() override { Start(Platform::Macos); }
};

TEST_F(EngineSheetOpen, ControllerRemovedWhileTheSheetIsOpenFailsAndALaterOkSendsNothing) {
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(40, 9);
  Ui().files.push_back(WriteFirmware(dir_ / "fw.dat", firmware));
  ASSERT_TRUE(RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID));
  Deliver(IdentityMessage(1));
  ASSERT_EQ(Ui().confirmations.size(), 1u);
  Ui().ClearRecords();
  ControllerRemoved();
  ExpectFailureShownOnce(Ui(), Platform::Macos);
  Ui().ClearRecords();
  ConfirmationEnded(kTarget, true);
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(m_updateComplete);
}

}  // namespace
}  // namespace enginetest
