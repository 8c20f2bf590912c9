// The stand-in for the IOKit HID manager, through the IOKit calls: emulated
// controllers' hidraw nodes arrive, report, take reports and go, on the run loop and
// in the run-loop modes macOS delivers them in.
#import <AppKit/AppKit.h>

#include <IOKit/hid/IOHIDLib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "device_access_alert.h"
#include "test_controller.h"
#include "ui_support.h"

// Runs an application-modal alert on top of whatever modal window is up.
@interface AlertOnTop : NSObject
- (void)run;
@end

@implementation AlertOnTop
- (void)run {
  NSAlert* alert = [[[NSAlert alloc] init] autorelease];
  [alert setMessageText:@"On top"];
  [alert addButtonWithTitle:@"OK"];
  [alert runModal];
}
@end

namespace {

struct Recorder {
  std::vector<IOHIDDeviceRef> arrived;
  std::vector<IOHIDDeviceRef> removed;
  std::vector<std::vector<uint8_t>> reports;
  std::vector<void*> reportSenders;
  uint8_t buffer[64] = {};
};

void Arrived(void* context, IOReturn, void*, IOHIDDeviceRef device) {
  auto* recorder = static_cast<Recorder*>(context);
  CFRetain(device);  // kept past its removal, to try it then
  recorder->arrived.push_back(device);
}

void Removed(void* context, IOReturn, void*, IOHIDDeviceRef device) {
  static_cast<Recorder*>(context)->removed.push_back(device);
}

void Reported(void* context, IOReturn, void* sender, IOHIDReportType type, uint32_t, uint8_t* report, CFIndex length) {
  auto* recorder = static_cast<Recorder*>(context);
  EXPECT_EQ(type, kIOHIDReportTypeInput);
  recorder->reports.emplace_back(report, report + length);
  recorder->reportSenders.push_back(sender);
}

ControllerConfig Identity(uint16_t vendor, uint16_t product) {
  ControllerConfig config;
  config.vendorId = vendor;
  config.productId = product;
  return config;
}

class Standin : public testing::Test {
 protected:
  void TearDown() override {
    if (manager_ != NULL) {
      IOHIDManagerClose(manager_, kIOHIDOptionsTypeNone);
      CFRelease(manager_);
    }
    for (IOHIDDeviceRef device : recorder_.arrived) CFRelease(device);
  }

  // A manager as the application sets one up; `criteria` NULL matches every device.
  void Open(NSArray* criteria) {
    manager_ = IOHIDManagerCreate(kCFAllocatorDefault, kIOHIDOptionsTypeNone);
    IOHIDManagerSetDeviceMatchingMultiple(manager_, (CFArrayRef)criteria);
    IOHIDManagerScheduleWithRunLoop(manager_, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    IOHIDManagerOpen(manager_, kIOHIDOptionsTypeNone);
    IOHIDManagerRegisterDeviceMatchingCallback(manager_, Arrived, &recorder_);
    IOHIDManagerRegisterDeviceRemovalCallback(manager_, Removed, &recorder_);
  }

  void Listen(IOHIDDeviceRef device) {
    IOHIDDeviceOpen(device, kIOHIDOptionsTypeNone);
    IOHIDDeviceRegisterInputReportCallback(device, recorder_.buffer, sizeof recorder_.buffer, Reported, &recorder_);
  }

  IOHIDManagerRef manager_ = NULL;
  Recorder recorder_;
};

long Property(IOHIDDeviceRef device, const char* key) {
  CFTypeRef value = IOHIDDeviceGetProperty(device, (CFStringRef)[NSString stringWithUTF8String:key]);
  int32_t number = -1;
  if (value == NULL || CFGetTypeID(value) != CFNumberGetTypeID()) return -1;
  CFNumberGetValue((CFNumberRef)value, kCFNumberSInt32Type, &number);
  return number;
}

TEST_F(Standin, DevicesPresentAndLaterOnesArriveFromTheRunLoopWithTheirProperties) {
  TestController early(Identity(0x0483, 0x5750));
  ASSERT_TRUE(early.Plug());
  Open(nil);
  EXPECT_TRUE(recorder_.arrived.empty()) << "told only from the run loop";
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 1; }));

  TestController late(Identity(0x2DC8, 0x5750));
  ASSERT_TRUE(late.Plug());
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 2; }));
  EXPECT_EQ(Property(recorder_.arrived[0], kIOHIDVendorIDKey), 0x0483);
  EXPECT_EQ(Property(recorder_.arrived[1], kIOHIDVendorIDKey), 0x2DC8);
  EXPECT_EQ(Property(recorder_.arrived[1], kIOHIDProductIDKey), 0x5750);
  NSString* product = (NSString*)IOHIDDeviceGetProperty(recorder_.arrived[1], CFSTR(kIOHIDProductKey));
  EXPECT_TRUE([product isEqual:@"Korvid Controller (BOOT)"]) << Utf8(product);
  EXPECT_EQ(IOHIDDeviceGetProperty(recorder_.arrived[1], CFSTR("SerialNumber")), (CFTypeRef)NULL);
}

TEST_F(Standin, OnlyDevicesMatchingTheCriteriaArriveAndAreRemoved) {
  NSDictionary* boot = [NSDictionary dictionaryWithObjectsAndKeys:[NSNumber numberWithLong:0x2DC8], @"VendorID",
                                                                  [NSNumber numberWithLong:0x5750], @"ProductID", nil];
  Open([NSArray arrayWithObject:boot]);
  TestController application(Identity(0x2DC8, 0x5751));
  TestController otherVendor(Identity(0x1234, 0x5750));
  TestController wanted(Identity(0x2DC8, 0x5750));
  ASSERT_TRUE(wanted.Plug());
  ASSERT_TRUE(RunUntil([&] { return !recorder_.arrived.empty(); }));
  ASSERT_TRUE(application.Plug() && otherVendor.Plug());
  RunFor(0.3);
  ASSERT_EQ(recorder_.arrived.size(), 1u);
  EXPECT_EQ(Property(recorder_.arrived[0], kIOHIDProductIDKey), 0x5750);

  application.Unplug();
  otherVendor.Unplug();
  RunFor(0.3);
  EXPECT_TRUE(recorder_.removed.empty());
  wanted.Unplug();
  ASSERT_TRUE(RunUntil([&] { return recorder_.removed.size() == 1; }));
  EXPECT_EQ(recorder_.removed[0], recorder_.arrived[0]);
}

TEST_F(Standin, ReportsFlowBothWaysAndAGoneDeviceTakesNone) {
  TestController device(Identity(0x2DC8, 0x5750));
  ASSERT_TRUE(device.Plug());
  Open(nil);
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 1; }));
  IOHIDDeviceRef handle = recorder_.arrived[0];

  device.SendMessage({0x00, 0x04, 0x00, 0x00});
  RunFor(0.2);
  EXPECT_TRUE(recorder_.reports.empty()) << "no reports before the device is opened and listened to";

  Listen(handle);
  uint8_t report[64] = {0x05, 0x00, 0x16, 0x01, 0x00, 0x04};
  EXPECT_EQ(IOHIDDeviceSetReport(handle, kIOHIDReportTypeOutput, 0, report, sizeof report), kIOReturnSuccess);
  // The controller answers the version request with its version report.
  ASSERT_TRUE(RunUntil([&] { return recorder_.reports.size() == 1; }));
  ASSERT_EQ(device.Written().size(), 1u);
  EXPECT_TRUE(std::equal(report, report + 64, device.Written()[0].begin()));
  ASSERT_EQ(recorder_.reports[0].size(), 64u);
  EXPECT_EQ(recorder_.reports[0][0], 11);
  EXPECT_EQ(recorder_.reports[0][2], 0x16);
  EXPECT_EQ(recorder_.reportSenders[0], handle);

  device.Unplug();
  ASSERT_TRUE(RunUntil([&] { return recorder_.removed.size() == 1; }));
  EXPECT_EQ(IOHIDDeviceSetReport(handle, kIOHIDReportTypeOutput, 0, report, sizeof report), kIOReturnNotAttached);
}

TEST_F(Standin, AWriteToADeviceThatStopsReadingFailsWithinASecondAndTheDeviceStays) {
  TestController device(Identity(0x2DC8, 0x5750));
  ASSERT_TRUE(device.Plug());
  Open(nil);
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 1; }));
  IOHIDDeviceRef handle = recorder_.arrived[0];
  device.StopReading();  // plugged in, but takes nothing more: the kernel holds the write
  uint8_t report[64] = {0x05, 0x00, 0x04, 0x00, 0x00, 0x00};
  NSDate* start = [NSDate date];
  EXPECT_EQ(IOHIDDeviceSetReport(handle, kIOHIDReportTypeOutput, 0, report, sizeof report), kIOReturnError)
      << "a failed write, not a device gone";
  EXPECT_LT(-[start timeIntervalSinceNow], 1.5) << "bounded by the write's one-second budget, not by the device";
  start = [NSDate date];
  EXPECT_EQ(IOHIDDeviceSetReport(handle, kIOHIDReportTypeOutput, 0, report, sizeof report), kIOReturnError);
  EXPECT_LT(-[start timeIntervalSinceNow], 0.5) << "at once while the first write is still in the kernel";
  RunFor(0.3);
  EXPECT_TRUE(recorder_.removed.empty());
}

TEST_F(Standin, ClosingTheManagerLetsEveryDeviceGoWithoutRemovals) {
  TestController device(Identity(0x2DC8, 0x5750));
  ASSERT_TRUE(device.Plug());
  Open(nil);
  ASSERT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 1; }));
  EXPECT_EQ(IOHIDManagerClose(manager_, kIOHIDOptionsTypeNone), kIOReturnSuccess);
  ASSERT_TRUE(RunUntil([&] { return device.Openers() == 0; }));
  EXPECT_TRUE(recorder_.removed.empty());
  TestController later(Identity(0x2DC8, 0x5750));
  ASSERT_TRUE(later.Plug());
  RunFor(0.3);
  EXPECT_EQ(later.Openers(), 0u);
  EXPECT_EQ(recorder_.arrived.size(), 1u);
}

TEST_F(Standin, AnApplicationModalAlertHoldsCallbacksBackUntilItCloses) {
  Open(nil);
  TestController device(Identity(0x2DC8, 0x5750));
  std::size_t arrivedWhileUp = 99;
  int waited = 0;
  ModalAnswers answers;
  answers.Then(While([&] { device.Plug(); }))
      .Then([&](NSWindow*) { return ++waited >= 15; })  // 0.3 s with the device there
      .Then([&](NSWindow* modal) {
        arrivedWhileUp = recorder_.arrived.size();
        return Press(@"OK")(modal);
      });
  NSAlert* alert = [[[NSAlert alloc] init] autorelease];
  [alert setMessageText:@"Modal"];
  [alert addButtonWithTitle:@"OK"];
  [alert runModal];
  EXPECT_EQ(arrivedWhileUp, 0u);
  EXPECT_TRUE(RunUntil([&] { return recorder_.arrived.size() == 1; }));
}

TEST_F(Standin, CallbacksGoOnUnderASheetButNotUnderAnAlertOnTopOfIt) {
  Open(nil);
  TestController first(Identity(0x2DC8, 0x5750));
  TestController second(Identity(0x0483, 0x5750));
  NSWindow* window = [[NSWindow alloc] initWithContentRect:NSMakeRect(100, 100, 300, 200)
                                                 styleMask:NSTitledWindowMask
                                                   backing:NSBackingStoreBuffered
                                                     defer:NO];
  [window makeKeyAndOrderFront:nil];
  AlertOnTop* onTop = [[[AlertOnTop alloc] init] autorelease];
  std::size_t arrivedUnderSheet = 0;
  std::size_t arrivedUnderAlert = 99;
  int waited = 0;
  ModalAnswers answers;
  answers.Then(WhileOn(@"Sheet", [&] { first.Plug(); }))
      .Then([&](NSWindow*) {
        arrivedUnderSheet = recorder_.arrived.size();
        return arrivedUnderSheet == 1;
      })
      .Then(While([&] {
        second.Plug();
        // From the run loop, not from inside this step: a timer does not
        // fire again while its own call runs a modal loop.
        [onTop performSelector:@selector(run)
                    withObject:nil
                    afterDelay:0
                       inModes:[NSArray arrayWithObject:NSModalPanelRunLoopMode]];
      }))
      .Then([&](NSWindow* modal) {  // 0.3 s under the alert, with the device there
        return MessageOf(modal) == "On top" && ++waited >= 15;
      })
      .Then([&](NSWindow* modal) {
        arrivedUnderAlert = recorder_.arrived.size();
        return PressOn(@"On top", @"OK")(modal);
      })
      .Then([&](NSWindow* modal) { return MessageOf(modal) == "Sheet" && recorder_.arrived.size() == 2; })
      .Then(PressOn(@"Sheet", @"OK"));
  NSAlert* sheet = [NSAlert alertWithMessageText:@"Sheet"
                                   defaultButton:@"OK"
                                 alternateButton:nil
                                     otherButton:nil
                       informativeTextWithFormat:@""];
  [sheet beginSheetModalForWindow:window modalDelegate:nil didEndSelector:NULL contextInfo:NULL];
  EXPECT_TRUE(RunUntil([&] { return answers.Done(); }));
  EXPECT_EQ(arrivedUnderSheet, 1u);
  EXPECT_EQ(arrivedUnderAlert, 1u) << "held back while the alert on top of the sheet is up";
  EXPECT_EQ(recorder_.arrived.size(), 2u) << "delivered under the sheet again";
  [window orderOut:nil];
  [window release];
}

}  // namespace

// Linux: a controller node the user may not open. IOKit never tells this;
// the stand-in does, with what to do about it.
TEST(StandinLinux, AControllerThatCannotBeOpenedIsToldWithTheRuleAndTheSteps) {
  ModalAnswers answers;
  answers.Then(Press(@"OK"));
  hiddevice::DeviceProperties properties;
  properties.vendorId = 0x2DC8;
  properties.productId = 0x5750;
  properties.path = "/dev/hidraw3";
  TellDeviceUnavailable(properties, "permission denied");
  ASSERT_TRUE(RunUntil([&] { return answers.Seen().size() == 1 && answers.Done(); }));
  const SeenModal& seen = answers.Seen()[0];
  EXPECT_EQ(seen.message, "Tindro cannot open the controller");
  for (const char* part : {"/dev/hidraw3: permission denied.", "70-korvid-controllers.rules",
                           "sudo udevadm control --reload", "plug it in again"})
    EXPECT_NE(seen.informative.find(part), std::string::npos) << part;
}
