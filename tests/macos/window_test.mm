// The window as the user meets it: set-up, version texts, the Update button,
// the open panel, the confirmation sheet and its answers, progress, help,
// re-opening; and the two cases where the controller goes away mid-run.
#import "EngineBinding.h"
#import "LBProgressBar.h"

#include <sstream>

#include "engine.h"
#include "sample_firmware.h"
#include "temp_dir.h"
#include "tindro_fixture.h"

namespace {

const std::vector<std::string> kHelpLines = {
    "NOTE: Ensure your controller disconnect from PC and power off before the following steps.",
    "",
    "Brio, Calder, Dunmore, Elgin",
    "1. Hold down L+R+START about 3 seconds until two LED lights flashing.",
    "2. Connect it to Mac via USB cable.",
    "3. Select firmware file and update.",
    "",
    "Brio Pro, Calder Pro",
    "1. Hold down RETURN+POWER about 3 seconds until two LED lights flashing.",
    "2. Connect it to Mac via USB cable.",
    "3. Select firmware file and update.",
    "",
    "ARCADE JOYSTICK",
    "1. Hold down L1+R1+HOME about 3 seconds until two LED lights flashing.",
    "2. Connect it to Mac via USB cable.",
    "3. Select firmware file and update.",
    "",
    "Fenwick",
    "1. Hold down L+R+START about 3 seconds until one LED light flashing yellow.",
    "2. Connect it to Mac via USB cable.",
    "3. Select firmware file and update.",
};

const uint8_t kSetFirmwareHeader = 1;
const uint8_t kSetFirmwareData = 0;

class Window : public Tindro {
 protected:
  // A controller attached and shown, and a firmware file of `payloadSize` bytes.
  void Attach(ControllerConfig config = Boot(), std::size_t payloadSize = 320, uint32_t holdAfterChunk = 0) {
    device_ = std::make_unique<TestController>(config, holdAfterChunk);
    ASSERT_TRUE(device_->Plug());
    ASSERT_TRUE(RunUntil([&] { return [UpdateButton() isEnabled] && !VersionText().empty(); }));
    SampleFirmware firmware;
    firmware.payload = MakeSamplePayload(payloadSize);
    payload_ = firmware.payload;
    file_ = files_.File("update.dat", FirmwareFileBytes(firmware));
  }

  // The user presses Update; the modal answers do the rest.
  void PressUpdate(ModalAnswers& answers, double seconds = 10) {
    PressButton(UpdateButton());
    ASSERT_TRUE(RunUntil([&] { return answers.Done(); }, seconds));
  }

  std::vector<Report> Written() { return device_->Written(); }

  TempDir files_;
  std::unique_ptr<TestController> device_;
  std::filesystem::path file_;
  std::vector<uint8_t> payload_;
};

TEST_F(Window, InterfaceIsConnectedAndSetupLeavesTheFieldReadOnlyAndTheButtonOff) {
  ASSERT_NE(ui_.controller, nil);
  EXPECT_EQ([ui_.delegate jsController], ui_.controller);
  EXPECT_EQ([ui_.controller window], ui_.window);
  EXPECT_EQ(Utf8([UpdateButton() title]), "Update");
  EXPECT_EQ([UpdateButton() target], ui_.controller);
  EXPECT_EQ([UpdateButton() action], @selector(updateButtonAction:));

  NSTextField* field = [ui_.controller versionText];
  EXPECT_EQ([field window], ui_.window);
  EXPECT_FALSE([field isEditable]);
  EXPECT_FALSE([field isEnabled]);
  EXPECT_TRUE([[[field textColor] colorUsingColorSpaceName:NSCalibratedRGBColorSpace]
      isEqual:[[NSColor blackColor] colorUsingColorSpaceName:NSCalibratedRGBColorSpace]]);
  EXPECT_FALSE([UpdateButton() isEnabled]);
  EXPECT_TRUE(EngineStarted());
  EXPECT_EQ(g_firmware_update_state, UPDATE_DATA_SENT);
  // The engine's clock: every 0.1 s, well under the second after which a
  // held-back tick restarts the controller's silence count.
  NSTimer* clock = StartWatchdogClock();
  EXPECT_TRUE([clock isValid]);
  EXPECT_EQ([clock timeInterval], 0.1);
  [clock invalidate];

  LBProgressBar* bar = (LBProgressBar*)[ViewsOfClass([ui_.window contentView], [LBProgressBar class]) lastObject];
  ASSERT_NE(bar, nil);
  EXPECT_TRUE([bar isDisplayedWhenStopped]);
  EXPECT_FALSE([bar isHidden]);
  EXPECT_EQ([bar minValue], 0);
  EXPECT_EQ([bar maxValue], 100);
}

TEST_F(Window, VersionFieldShowsReleaseBetaAndFactoryFirmware) {
  Attach(Boot(0x2DC8, 105, 0));
  EXPECT_EQ(VersionText(), "v1.05");
  EXPECT_TRUE([[[ui_.controller versionText] backgroundColor] isEqual:[NSColor textBackgroundColor]]);
  device_->Unplug();

  TestController beta(Boot(0x0483, 105, 2));
  ASSERT_TRUE(beta.Plug());
  ASSERT_TRUE(RunUntil([&] { return VersionText() == "v1.05 bate:2"; }));

  ModalAnswers answers;
  ControllerConfig factory = Boot();
  factory.factoryFirmware = true;
  TestController factoryDevice(factory);
  ASSERT_TRUE(factoryDevice.Plug());
  ASSERT_TRUE(RunUntil([&] { return !answers.Seen().empty(); }));
  EXPECT_EQ(answers.Seen()[0].message, "The firmware is factory Version, please update to lastest version!");
  EXPECT_EQ(VersionText(), "Factory Version");
}

TEST_F(Window, UpdateAsksTheControllerAndAFileChoiceThatGivesNothingGivesTheButtonBack) {
  Attach();
  // A firmware file in all but its name: only *.dat files are taken.
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(64);
  const std::filesystem::path notDat = files_.File("update.bin", FirmwareFileBytes(firmware));
  struct Case {
    const char* what;
    ModalAnswers::Step step;
  };
  const Case cases[] = {
      {"cancelled", Press(@"Cancel")},
      {"a file that is not *.dat", ChooseFileOrGiveUp(notDat.string())},
  };
  for (const Case& c : cases) {
    ModalAnswers answers;
    answers.Then([&](NSWindow* modal) {
      if (![modal isKindOfClass:[NSOpenPanel class]]) return false;
      EXPECT_FALSE([UpdateButton() isEnabled]) << "disabled once the request went out";
      return c.step(modal);
    });
    PressUpdate(answers);
    ASSERT_TRUE(RunUntil([&] { return [UpdateButton() isEnabled] && [NSApp modalWindow] == nil; })) << c.what;
    ASSERT_EQ(answers.Seen().size(), 1u) << c.what << ": no sheet, no alert";
    EXPECT_EQ(answers.Seen()[0].kind, "panel");
  }
  const std::vector<Report> written = Written();
  ASSERT_EQ(Count(written, MSG_UPDATE_REQUEST), 2u);
  const Report& request = written[1];
  EXPECT_EQ(request[0], 5);
  EXPECT_EQ(request[2], MSG_UPDATE_REQUEST);
  EXPECT_EQ(request[5], 0);
  EXPECT_EQ(Count(Written(), MSG_FIRMWARE, kSetFirmwareHeader), 0u);
}

TEST_F(Window, AnUpdateRequestThatCannotBeWrittenLeavesTheButtonOn) {
  Attach();
  device_->StopReading();
  ModalAnswers answers;
  PressButton(UpdateButton());
  RunFor(0.3);
  EXPECT_TRUE([UpdateButton() isEnabled]);
  EXPECT_TRUE(answers.Seen().empty());
}

TEST_F(Window, OkOnTheSheetRunsTheWholeUpdate) {
  Attach(Boot(), 320);
  ModalAnswers answers;
  answers.Then(ChooseFile(file_.string()))
      .Then(PressOn(@"Note", @"OK"))
      .Then(PressOn(@"Firmware upgraded successful!", @"OK"));
  PressUpdate(answers);
  ASSERT_TRUE(RunUntil([&] { return [NSApp modalWindow] == nil; }));
  ASSERT_EQ(answers.Seen().size(), 3u) << "one success alert";
  EXPECT_EQ(answers.Seen()[1].kind, "sheet");
  EXPECT_EQ(answers.Seen()[1].message, "Note");
  EXPECT_EQ(answers.Seen()[1].informative, "The File Firmware Version:  v1.10");
  EXPECT_EQ(answers.Seen()[2].kind, "alert");
  EXPECT_TRUE(device_->ImageEquals(payload_));
  EXPECT_EQ(device_->Completions(), 1u);
  EXPECT_EQ(device_->Violations(), 0u);
  LBProgressBar* bar = (LBProgressBar*)[ViewsOfClass([ui_.window contentView], [LBProgressBar class]) lastObject];
  EXPECT_EQ([bar doubleValue], 100);
  [ui_.controller updateProgress:0];
  EXPECT_EQ([bar doubleValue], 0);
  EXPECT_EQ(deviceUpgradedCount, 1);

  // Attached anew, the controller is updated again and its success shown again.
  device_->Unplug();
  ASSERT_TRUE(RunUntil([&] { return ![UpdateButton() isEnabled]; }));
  ASSERT_TRUE(device_->Plug());
  ASSERT_TRUE(RunUntil([&] { return [UpdateButton() isEnabled] && !VersionText().empty(); }));
  answers.Then(ChooseFile(file_.string()))
      .Then(PressOn(@"Note", @"OK"))
      .Then(PressOn(@"Firmware upgraded successful!", @"OK"));
  PressUpdate(answers);
  ASSERT_TRUE(RunUntil([&] { return [NSApp modalWindow] == nil; }));
  ASSERT_EQ(answers.Seen().size(), 6u);
  EXPECT_EQ(answers.Seen()[5].message, "Firmware upgraded successful!");
  EXPECT_TRUE(device_->ImageEquals(payload_));
}

// The run belongs to the controller it started on: one that arrives during
// it is neither offered nor asked anything until the run has ended.
TEST_F(Window, ASecondControllerArrivingMidTransferWaitsForTheEndOfTheRun) {
  Attach(Boot(0x2DC8, 105), 320, /*holdAfterChunk=*/3);
  ModalAnswers answers;  // every alert is answered OK, whichever comes
  answers.Then(ChooseFile(file_.string())).Then(PressOn(@"Note", @"OK"));
  PressButton(UpdateButton());
  // The transfer stands still after chunk 3 of 10.
  ASSERT_TRUE(RunUntil([&] { return device_->DataCommands() == 3; }));
  ControllerConfig factory = Boot(0x0483);
  factory.factoryFirmware = true;
  TestController second(factory);
  ASSERT_TRUE(second.Plug());
  // Opened, the application has handled its arrival.
  ASSERT_TRUE(RunUntil([&] { return second.Openers() == 1; }));
  RunFor(0.3);
  EXPECT_FALSE([UpdateButton() isEnabled]);
  EXPECT_EQ(VersionText(), "v1.05");
  EXPECT_TRUE(second.Written().empty());

  device_->Release();
  ASSERT_TRUE(RunUntil([&] {
    return device_->Completions() == 1 && VersionText() == "Factory Version" && [UpdateButton() isEnabled] &&
           [NSApp modalWindow] == nil;
  }));
  EXPECT_TRUE(device_->ImageEquals(payload_));
  std::vector<std::string> messages;
  for (const SeenModal& seen : answers.Seen()) messages.push_back(seen.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"", "Note", "Firmware upgraded successful!",
                                                "The firmware is factory Version, please update to lastest version!"}));
  ASSERT_EQ(second.Written().size(), 1u) << "asked for its version once the run was over";
  EXPECT_EQ(Count(second.Written(), MSG_FIRMWARE, GET_FIRMWARE_VSION), 1u);

  // Update now names the second controller.
  answers.Then([](NSWindow* modal) { return [modal isKindOfClass:[NSOpenPanel class]] && Press(@"Cancel")(modal); });
  PressUpdate(answers);
  EXPECT_EQ(Count(second.Written(), MSG_UPDATE_REQUEST), 1u);
  EXPECT_EQ(Count(Written(), MSG_UPDATE_REQUEST), 1u);
}

TEST_F(Window, CancelOnTheSheetSendsNothingAndGivesTheButtonBack) {
  Attach();
  ModalAnswers answers;
  answers.Then(ChooseFile(file_.string())).Then(PressOn(@"Note", @"Cancel"));
  PressUpdate(answers);
  RunFor(0.2);
  EXPECT_EQ(Count(Written(), MSG_FIRMWARE, kSetFirmwareHeader), 0u);
  EXPECT_TRUE([UpdateButton() isEnabled]);
}

TEST_F(Window, ASheetEndedWithAnyOtherCodeChangesNothing) {
  Attach();
  ModalAnswers answers;
  answers.Then(ChooseFile(file_.string())).Then(EndSheetWithCode(-1));
  PressUpdate(answers);
  RunFor(0.2);
  EXPECT_EQ(Count(Written(), MSG_FIRMWARE, kSetFirmwareHeader), 0u);
  EXPECT_FALSE([UpdateButton() isEnabled]);
  EXPECT_EQ(answers.Seen().size(), 2u);

  // Code 5 on a later run does not start it either.
  [UpdateButton() setEnabled:YES];
  answers.Then(ChooseFile(file_.string())).Then(EndSheetWithCode(5));
  PressUpdate(answers);
  RunFor(0.2);
  EXPECT_EQ(Count(Written(), MSG_FIRMWARE, kSetFirmwareHeader), 0u);
}

TEST_F(Window, UnplugMidTransferEndsTheRunWithTheFailureAlert) {
  ControllerConfig config = Boot();
  config.fault.kind = FaultKind::Silence;
  config.fault.step = ControllerStep::Chunk;
  config.fault.chunk = 3;
  Attach(config, 320);
  ModalAnswers answers;
  answers.Then(ChooseFile(file_.string()))
      .Then(PressOn(@"Note", @"OK"))
      .Then(PressOn(@"Firmware update failure!", @"OK"));
  PressButton(UpdateButton());
  ASSERT_TRUE(RunUntil([&] { return device_->DataCommands() == 3; }));
  NSDate* unplugged = [NSDate date];
  device_->Unplug();
  ASSERT_TRUE(RunUntil([&] { return answers.Done() && [NSApp modalWindow] == nil; }));
  EXPECT_LT(-[unplugged timeIntervalSinceNow], 3) << "at once, not after the silence limit";
  ASSERT_EQ(answers.Seen().size(), 3u);
  EXPECT_EQ(answers.Seen()[2].message, "Firmware update failure!");
  EXPECT_TRUE([UpdateButton() isEnabled]);
  EXPECT_EQ(deviceRef, (IOHIDDeviceRef)NULL);

  // The button names no controller any more: pressing it writes nothing.
  const std::size_t written = Written().size();
  PressButton(UpdateButton());
  RunFor(0.2);
  EXPECT_EQ(Written().size(), written);
  EXPECT_FALSE([UpdateButton() isEnabled]);
}

TEST_F(Window, OkOnASheetWhoseControllerIsGoneSendsNothing) {
  Attach();
  ModalAnswers answers;
  answers.Then(ChooseFile(file_.string()))
      .Then(WhileOn(@"Note", [&] { device_->Unplug(); }))
      .Then(PressOn(@"Firmware update failure!", @"OK"))
      .Then(PressOn(@"Note", @"OK"));
  PressUpdate(answers);
  RunFor(0.2);
  EXPECT_EQ(Count(Written(), MSG_FIRMWARE, kSetFirmwareHeader), 0u);
  EXPECT_EQ(Count(Written(), MSG_FIRMWARE, kSetFirmwareData), 0u);
  EXPECT_TRUE([UpdateButton() isEnabled]);
  std::vector<std::string> kinds;
  for (const SeenModal& seen : answers.Seen()) kinds.push_back(seen.kind);
  EXPECT_EQ(kinds, (std::vector<std::string>{"panel", "sheet", "alert"})) << "the sheet stayed up under the alert";
}

TEST_F(Window, HelpFromTheMenuShowsTheTwentyOneLines) {
  NSMenuItem* help = nil;
  NSMenu* menu = [[[NSApp mainMenu] itemWithTitle:@"Help"] submenu];
  for (NSInteger i = 0; i < [menu numberOfItems]; ++i)
    if ([[menu itemAtIndex:i] action] == @selector(showHelp:)) help = [menu itemAtIndex:i];
  ASSERT_NE(help, nil);
  EXPECT_EQ([help target], ui_.controller);

  // Asked twice, shown twice: the same texts in two alerts.
  ModalAnswers answers;
  for (int asked = 0; asked < 2; ++asked) {
    answers.Then([&](NSWindow* modal) {
      EXPECT_EQ(Utf8(@"OK"), Utf8([ButtonTitled(modal, @"OK") title]));
      EXPECT_EQ(ButtonTitled(modal, @"Cancel"), nil);
      return Press(@"OK")(modal);
    });
    [menu performActionForItemAtIndex:[menu indexOfItem:help]];
  }
  ASSERT_EQ(answers.Seen().size(), 2u);
  std::string expected;
  for (const std::string& line : kHelpLines) expected += line + "\n";
  for (const SeenModal& seen : answers.Seen()) {
    EXPECT_EQ(seen.message, "Update Firmware From MacOS X");
    EXPECT_EQ(seen.informative, expected);
  }
}

TEST_F(Window, ReopeningBringsTheWindowBack) {
  [ui_.window orderOut:nil];
  ASSERT_FALSE([ui_.window isVisible]);
  EXPECT_TRUE([ui_.delegate applicationShouldHandleReopen:NSApp hasVisibleWindows:YES]);
  EXPECT_TRUE([ui_.window isVisible]);
  RunUntil([&] { return [ui_.window isKeyWindow]; }, 1);
  EXPECT_TRUE([ui_.window isKeyWindow]);
}

TEST_F(Window, FileChoiceStartsInTheFolderOfTheApplication) {
  NSString* path = getCurrentPath();
  NSString* bundle = [[NSBundle mainBundle] bundlePath];
  EXPECT_EQ(Utf8(path), Utf8([[bundle stringByDeletingLastPathComponent] stringByAppendingString:@"/"]));
  EXPECT_TRUE([ui_.controller becomeFirstResponder]);
}

}  // namespace
