#import "JoystickController.h"

#include <string.h>

#import "EngineBinding.h"
#import "HidDeviceTracking.h"
#import "LBProgressBar.h"
#include "engine.h"

namespace {

// Return codes of an alert made with alertWithMessageText:..., sheet or modal.
constexpr int kAlertDefaultReturn = 1;    // "OK"
constexpr int kAlertAlternateReturn = 0;  // "Cancel"

NSString* const kHelpText =
    @"NOTE: Ensure your controller disconnect from PC and power off before the following steps.\n"
    @"\n"
    @"Brio, Calder, Dunmore, Elgin\n"
    @"1. Hold down L+R+START about 3 seconds until two LED lights flashing.\n"
    @"2. Connect it to Mac via USB cable.\n"
    @"3. Select firmware file and update.\n"
    @"\n"
    @"Brio Pro, Calder Pro\n"
    @"1. Hold down RETURN+POWER about 3 seconds until two LED lights flashing.\n"
    @"2. Connect it to Mac via USB cable.\n"
    @"3. Select firmware file and update.\n"
    @"\n"
    @"ARCADE JOYSTICK\n"
    @"1. Hold down L1+R1+HOME about 3 seconds until two LED lights flashing.\n"
    @"2. Connect it to Mac via USB cable.\n"
    @"3. Select firmware file and update.\n"
    @"\n"
    @"Fenwick\n"
    @"1. Hold down L+R+START about 3 seconds until one LED light flashing yellow.\n"
    @"2. Connect it to Mac via USB cable.\n"
    @"3. Select firmware file and update.\n";

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != NULL ? slash + 1 : path;
}

}  // namespace

@implementation JoystickController

- (id)init {
  self = [super init];
  if (self != nil) {
    joysticks = [[NSMutableArray alloc] init];
    reportSizeIn = 64;
  }
  return self;
}

- (void)dealloc {
  [watchdogClock invalidate];
  [watchdogClock release];
  [joysticks makeObjectsPerformSelector:@selector(invalidate)];
  if (hidManager != NULL) {
    IOHIDManagerClose(hidManager, kIOHIDOptionsTypeNone);
    CFRelease(hidManager);
    hidManager = NULL;
  }
  ForgetDevicesOf(self);
  if (frontEnd != nullptr) {
    EngineShutDown();  // also lets go of the stored firmware path
    delete frontEnd;
  }
  [joysticks release];
  [super dealloc];
}

- (IBAction)updateButtonAction:(id)sender {
  (void)sender;
  if (deviceRef == NULL) {  // the controller it named is gone
    [[js updateButton] setEnabled:NO];
    return;
  }
  if (RequestFirmwareUpdate(reinterpret_cast<DeviceTarget>(deviceRef), PACKET_TYPE_HID)) {
    ServeUpdateFrom(deviceRef);
    [[js updateButton] setEnabled:NO];
  }
}

- (void)updateProgress:(int)percent {
  // The engine reports after every chunk, about eighty times a percent: a
  // value the bar already shows is not set again, as each set redraws it
  // on the main thread, where the next acknowledgement waits.
  if ([indicator doubleValue] == percent) return;
  [indicator setDoubleValue:percent];
}

- (void)alertEnded:(NSAlert*)alert code:(int)code context:(void*)context {
  (void)alert;
  const IOHIDDeviceRef device = static_cast<IOHIDDeviceRef>(context);
  if (code == kAlertDefaultReturn) {
    NSLog(@"%s,%d::----------------0", __PRETTY_FUNCTION__, __LINE__);
    // A device that went away while the sheet was up gets nothing: the run ends.
    ConfirmationEnded(reinterpret_cast<DeviceTarget>(context), IsAttachedDevice(device));
  } else if (code == kAlertAlternateReturn) {
    NSLog(@"%s,%d::-----------------1", __PRETTY_FUNCTION__, __LINE__);
    ConfirmationEnded(reinterpret_cast<DeviceTarget>(context), false);
  }
  OfferHeldArrivals();
}

- (void)setup {
  [versionText setEditable:NO];
  [versionText setEnabled:NO];
  [versionText setTextColor:[NSColor blackColor]];

  // The engine starts at rest (UPDATE_DATA_SENT) before any device can talk.
  frontEnd = new WindowFrontEnd();
  EngineSetup engine;
  engine.platform = Platform::Macos;
  engine.frontEnd = frontEnd;
  engine.traceSink = frontEnd;
  EngineStartUp(engine);
  watchdogClock = [StartWatchdogClock() retain];

  [updateButton setEnabled:NO];
  NSLog(@"%s, %s, %d", BaseName(__FILE__), __PRETTY_FUNCTION__, __LINE__);

  hidManager = IOHIDManagerCreate(kCFAllocatorDefault, kIOHIDOptionsTypeNone);
  NSMutableArray* matching = [NSMutableArray array];
  for (const VendorProductId& entry : vidpid) {
    NSDictionary* dic =
        [NSDictionary dictionaryWithObjectsAndKeys:[NSNumber numberWithLong:entry.vendorId], @kIOHIDVendorIDKey,
                                                   [NSNumber numberWithLong:entry.productId], @kIOHIDProductIDKey, nil];
    NSLog(@"dic:%@", dic);
    [matching addObject:dic];
  }
  IOHIDManagerSetDeviceMatchingMultiple(hidManager, (CFArrayRef)[[matching copy] autorelease]);
  IOHIDManagerScheduleWithRunLoop(hidManager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
  IOHIDManagerOpen(hidManager, kIOHIDOptionsTypeNone);
  IOHIDManagerRegisterDeviceMatchingCallback(hidManager, add_callback, self);
  IOHIDManagerRegisterDeviceRemovalCallback(hidManager, remove_callback, self);
}

- (IBAction)showHelp:(id)sender {
  (void)sender;
  NSLog(@"%s,%d::showHelp Call\n", __PRETTY_FUNCTION__, __LINE__);
  NSAlert* alert = [NSAlert alertWithMessageText:@"Update Firmware From MacOS X"
                                   defaultButton:@"OK"
                                 alternateButton:nil
                                     otherButton:nil
                       informativeTextWithFormat:@"%@", kHelpText];
  [alert runModal];
}

- (BOOL)becomeFirstResponder {
  NSLog(@"%s,%d::becomeFirstResponder call\n", __PRETTY_FUNCTION__, __LINE__);
  return YES;
}

- (NSButton*)updateButton {
  return updateButton;
}

- (NSTextField*)versionText {
  return versionText;
}

- (uint8_t*)reportBuffer {
  return gpReportBufB;
}

- (uint8_t)reportSizeIn {
  return reportSizeIn;
}

@end

NSString* getCurrentPath(void) {
  NSString* bundlePath = [[NSBundle mainBundle] bundlePath];
  NSLog(@"%s,%d::bundlePath=%@\n", __func__, __LINE__, bundlePath);
  const NSRange slash = [bundlePath rangeOfString:@"/" options:NSBackwardsSearch];
  NSString* path = slash.location == NSNotFound ? @"" : [bundlePath substringToIndex:slash.location + 1];
  NSLog(@"%s,%d::path=%@\n", __func__, __LINE__, path);
  return path;
}
