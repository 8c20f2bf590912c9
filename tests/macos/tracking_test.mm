// Which devices the application serves, and its bookkeeping of arrivals,
// removals and completed updates.
#include "tindro_fixture.h"

#include "engine.h"

namespace {

const char* const kHelpTitle = "Update Firmware From MacOS X";

// A device the HID manager's criteria keep from the application, as IOKit
// would still hand it to a manager that matches every device.
class UnmatchedDevice {
 public:
  UnmatchedDevice() : device_(ApplicationMode()), manager_(IOHIDManagerCreate(kCFAllocatorDefault, 0)) {
    device_.Plug();
    IOHIDManagerSetDeviceMatchingMultiple(manager_, NULL);
    IOHIDManagerScheduleWithRunLoop(manager_, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    IOHIDManagerOpen(manager_, kIOHIDOptionsTypeNone);
    IOHIDManagerRegisterDeviceMatchingCallback(manager_, Found, this);
  }
  ~UnmatchedDevice() {
    IOHIDManagerClose(manager_, kIOHIDOptionsTypeNone);
    CFRelease(manager_);
  }
  IOHIDDeviceRef Handle() {
    RunUntil([=] { return handle_ != NULL; });
    return handle_;
  }

 private:
  static ControllerConfig ApplicationMode() {
    ControllerConfig config;
    config.productId = 0x5751;
    return config;
  }
  static void Found(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    static_cast<UnmatchedDevice*>(context)->handle_ = device;
  }
  TestController device_;
  IOHIDManagerRef manager_;
  IOHIDDeviceRef handle_ = NULL;
};

TEST(Acceptance, BootModeIdentifiersInTableOrder) {
  EXPECT_EQ(vidpid[0].vendorId, 0x0483);
  EXPECT_EQ(vidpid[0].productId, 0x5750);
  EXPECT_EQ(vidpid[1].vendorId, 0x2DC8);
  EXPECT_EQ(vidpid[1].productId, 0x5750);
  EXPECT_TRUE(CheckValidDevice(0x0483, 0x5750));
  EXPECT_TRUE(CheckValidDevice(0x2DC8, 0x5750));
  EXPECT_FALSE(CheckValidDevice(0x2DC8, 0x5751));
  EXPECT_FALSE(CheckValidDevice(0x0483, 0x5751));
  EXPECT_FALSE(CheckValidDevice(0x1234, 0x5750));
  EXPECT_FALSE(CheckValidDevice(0x5750, 0x0483));
}

TEST_F(Tindro, ABootModeControllerIsServedAndAskedForItsVersion) {
  EXPECT_FALSE([UpdateButton() isEnabled]);
  TestController controller(Boot(0x0483, 105));
  ASSERT_TRUE(controller.Plug());
  ASSERT_TRUE(RunUntil([&] { return VersionText() == "v1.05"; }));
  EXPECT_EQ(deviceConnected, 1);
  EXPECT_EQ(js, ui_.controller);
  EXPECT_TRUE(IsAttachedDevice(deviceRef));
  EXPECT_TRUE([UpdateButton() isEnabled]);
  ASSERT_EQ(controller.Written().size(), 1u);
  const uint8_t versionRequest[] = {0x05, 0x00, 0x16, 0x01, 0x00, 0x04, 0x00};
  EXPECT_TRUE(std::equal(std::begin(versionRequest), std::end(versionRequest), controller.Written()[0].begin()));
}

TEST_F(Tindro, AControllerInApplicationModeNeverReachesTheWindow) {
  ModalAnswers answers;
  TestController other(Boot(0x1234));
  ControllerConfig config = Boot();
  config.productId = 0x5751;
  TestController applicationMode(config);
  ASSERT_TRUE(applicationMode.Plug() && other.Plug());
  RunFor(0.5);
  EXPECT_EQ(deviceConnected, 0);
  EXPECT_TRUE(applicationMode.Written().empty());
  EXPECT_TRUE(other.Written().empty());
  EXPECT_TRUE(answers.Seen().empty()) << "no help alert for a device the manager does not match";
  EXPECT_FALSE([UpdateButton() isEnabled]);
}

// The window shows the newest controller, which Update names: removing an
// older one leaves it; removing the newest clears it.
TEST_F(Tindro, RemovingTheNewestOfTwoControllersClearsTheWindowAndAnOlderOneLeavesIt) {
  TestController first(Boot(0x0483, 101));
  TestController second(Boot(0x2DC8, 102));
  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(RunUntil([&] { return VersionText() == "v1.01"; }));
  ASSERT_TRUE(second.Plug());
  ASSERT_TRUE(RunUntil([&] { return VersionText() == "v1.02"; }));
  EXPECT_EQ(deviceConnected, 2);
  IOHIDDeviceRef newest = deviceRef;

  first.Unplug();
  ASSERT_TRUE(RunUntil([&] { return deviceConnected == 1; }));
  EXPECT_EQ(VersionText(), "v1.02");
  EXPECT_TRUE([UpdateButton() isEnabled]);
  EXPECT_EQ(deviceRef, newest) << "the newest controller is still there";
  EXPECT_TRUE(IsAttachedDevice(newest));

  second.Unplug();
  ASSERT_TRUE(RunUntil([&] { return deviceConnected == 0; }));
  EXPECT_EQ(VersionText(), "");
  EXPECT_FALSE([UpdateButton() isEnabled]);
  EXPECT_EQ(deviceRef, (IOHIDDeviceRef)NULL) << "a removed device is forgotten";
}

TEST_F(Tindro, RemovalNeverCountsBelowZero) {
  TestController controller(Boot());
  ASSERT_TRUE(controller.Plug());
  ASSERT_TRUE(RunUntil([&] { return deviceConnected == 1; }));
  deviceConnected = 0;
  controller.Unplug();
  ASSERT_TRUE(RunUntil([&] { return deviceRef == NULL; }));
  EXPECT_EQ(deviceConnected, 0);
}

TEST_F(Tindro, ArrivalsOutsideBootModeSpendCompletedUpdatesThenShowHelpOnlyWithNothingAttached) {
  UnmatchedDevice outsider;
  IOHIDDeviceRef handle = outsider.Handle();
  ASSERT_NE(handle, (IOHIDDeviceRef)NULL);
  ModalAnswers answers;

  deviceUpgradedCount = 2;
  add_callback(ui_.controller, kIOReturnSuccess, NULL, handle);
  add_callback(ui_.controller, kIOReturnSuccess, NULL, handle);
  EXPECT_EQ(deviceUpgradedCount, 0);
  EXPECT_TRUE(answers.Seen().empty());

  add_callback(ui_.controller, kIOReturnSuccess, NULL, handle);  // nothing attached: help
  ASSERT_EQ(answers.Seen().size(), 1u);
  EXPECT_EQ(answers.Seen()[0].message, kHelpTitle);
  EXPECT_EQ(deviceConnected, 0);
  EXPECT_FALSE(IsAttachedDevice(handle));

  TestController controller(Boot());
  ASSERT_TRUE(controller.Plug());
  ASSERT_TRUE(RunUntil([&] { return deviceConnected == 1; }));
  add_callback(ui_.controller, kIOReturnSuccess, NULL, handle);  // a controller is attached: nothing
  EXPECT_EQ(answers.Seen().size(), 1u);
  EXPECT_EQ(deviceUpgradedCount, 0);
}

TEST(ControllerLifetime, ReleasingTheWindowControllerClosesItsHidManager) {
  JoystickController* controller = [[JoystickController alloc] init];
  [controller setup];
  TestController device(ControllerConfig{});
  ASSERT_TRUE(device.Plug());
  ASSERT_TRUE(RunUntil([&] { return deviceConnected == 1 && device.Written().size() == 1; }));
  EXPECT_EQ(js, controller);

  [controller release];
  ASSERT_TRUE(RunUntil([&] { return device.Openers() == 0; })) << "the manager let the device go";
  EXPECT_EQ(deviceConnected, 0);
  EXPECT_EQ(deviceRef, (IOHIDDeviceRef)NULL);
  EXPECT_EQ(js, nil);
  EXPECT_FALSE(EngineStarted());

  TestController later(ControllerConfig{});
  ASSERT_TRUE(later.Plug());
  RunFor(0.3);
  EXPECT_EQ(later.Openers(), 0u) << "no manager watches the devices any more";
}

}  // namespace
