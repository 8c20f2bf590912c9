// The IOKit HID manager and device calls over a device source.
#import <Foundation/Foundation.h>

#include <IOKit/hid/IOHIDLib.h>

#include <algorithm>
#include <memory>

#include "device_access_alert.h"
#include "device_source.h"
#include "run_loop_event_loop.h"

@class StandinHIDManager;

// One device a manager matched; an IOHIDDeviceRef is one of these.
@interface StandinHIDDevice : NSObject {
 @public
  hiddevice::DeviceId deviceId;
  NSDictionary* properties;
  StandinHIDManager* manager;  // not retained; nil once the manager let the device go
  BOOL announced;              // the matching callback has seen it
  BOOL opened;
  uint8_t* reportBuffer;
  CFIndex reportBufferLength;
  IOHIDReportCallback reportCallback;
  void* reportContext;
}
@end

@implementation StandinHIDDevice
- (void)dealloc {
  [properties release];
  [super dealloc];
}
@end

namespace {
class ManagerCore;
}

// An IOHIDManagerRef is one of these.
@interface StandinHIDManager : NSObject {
 @public
  NSArray* matching;  // dictionaries; nil matches every device
  BOOL matchingSet;
  NSRunLoop* runLoop;
  NSString* runLoopMode;
  BOOL open;
  IOHIDDeviceCallback matchingCallback;
  void* matchingContext;
  IOHIDDeviceCallback removalCallback;
  void* removalContext;
  NSMutableDictionary* devices;  // device id -> StandinHIDDevice, matched devices only
  ManagerCore* core;
}
- (void)startIfReady;
- (void)stop;
- (void)announcePending;
- (void)deviceArrived:(hiddevice::DeviceId)deviceId properties:(NSDictionary*)properties;
- (void)deviceRemoved:(hiddevice::DeviceId)deviceId;
- (void)inputReport:(const uint8_t*)report length:(std::size_t)length from:(hiddevice::DeviceId)deviceId;
- (IOReturn)writeReport:(const uint8_t*)report length:(std::size_t)length to:(hiddevice::DeviceId)deviceId;
@end

namespace {

NSString* RunLoopModeFor(CFStringRef mode) {
  NSString* name = (NSString*)mode;
  // The CF names of the two modes stand for AppKit's default mode here.
  if ([name isEqualToString:(NSString*)kCFRunLoopDefaultMode] ||
      [name isEqualToString:(NSString*)kCFRunLoopCommonModes])
    return NSDefaultRunLoopMode;
  return name;
}

NSNumber* KeyFor(hiddevice::DeviceId deviceId) { return [NSNumber numberWithUnsignedLongLong:deviceId]; }

// What a manager's source opens: the controllers in BOOT mode, and in their
// application mode too for a manager matching every device, as IOKit hands
// such a manager every HID device there is.
hiddevice::DeviceSelection SelectionFor(bool matchesEveryDevice) {
  hiddevice::DeviceSelection selection = hiddevice::KorvidControllers();
  if (matchesEveryDevice) {
    selection.open.insert(selection.open.end(), selection.watch.begin(), selection.watch.end());
    selection.watch.clear();
  }
  return selection;
}

// The manager's link to its device source, alive while the manager is open
// and scheduled.
class ManagerCore final : public hiddevice::DeviceSourceClient {
 public:
  ManagerCore(StandinHIDManager* manager, NSRunLoop* runLoop, NSString* mode, bool matchesEveryDevice)
      : manager_(manager), loop_(std::make_unique<hiddevice::RunLoopEventLoop>(runLoop, mode)) {
    source_ = hiddevice::CreateDeviceSource(*loop_, *this, SelectionFor(matchesEveryDevice));
  }
  ~ManagerCore() override {
    source_.reset();  // before the loop it watches with
    loop_.reset();
  }

  void Start() { source_->Start(); }
  hiddevice::DeviceSource& Source() { return *source_; }
  hiddevice::EventLoop& Loop() { return *loop_; }

  void DeviceArrived(hiddevice::DeviceId device, const hiddevice::DeviceProperties& properties) override {
    NSDictionary* values = [NSDictionary
        dictionaryWithObjectsAndKeys:[NSNumber numberWithUnsignedInt:properties.vendorId], @kIOHIDVendorIDKey,
                                     [NSNumber numberWithUnsignedInt:properties.productId], @kIOHIDProductIDKey,
                                     [NSString stringWithUTF8String:properties.product.c_str()], @kIOHIDProductKey,
                                     nil];
    [manager_ deviceArrived:device properties:values];
  }
  void DeviceRemoved(hiddevice::DeviceId device) override { [manager_ deviceRemoved:device]; }
  void InputReport(hiddevice::DeviceId device, const uint8_t* report, std::size_t length) override {
    [manager_ inputReport:report length:length from:device];
  }
  void DeviceUnavailable(const hiddevice::DeviceProperties& properties, const std::string& reason) override {
    TellDeviceUnavailable(properties, reason);
  }

 private:
  StandinHIDManager* manager_;
  std::unique_ptr<hiddevice::RunLoopEventLoop> loop_;
  std::unique_ptr<hiddevice::DeviceSource> source_;
};

bool Matches(NSArray* criteria, BOOL criteriaSet, NSDictionary* properties) {
  if (!criteriaSet) return false;
  if (criteria == nil) return true;
  for (NSUInteger i = 0; i < [criteria count]; ++i) {
    NSDictionary* criterion = [criteria objectAtIndex:i];
    NSArray* keys = [criterion allKeys];
    bool all = true;
    for (NSUInteger k = 0; k < [keys count] && all; ++k) {
      id key = [keys objectAtIndex:k];
      all = [[properties objectForKey:key] isEqual:[criterion objectForKey:key]];
    }
    if (all) return true;
  }
  return false;
}

StandinHIDManager* AsManager(IOHIDManagerRef manager) { return (StandinHIDManager*)manager; }
StandinHIDDevice* AsDevice(IOHIDDeviceRef device) { return (StandinHIDDevice*)device; }

}  // namespace

@implementation StandinHIDManager

- (id)init {
  self = [super init];
  if (self != nil) devices = [[NSMutableDictionary alloc] init];
  return self;
}

- (void)dealloc {
  [self stop];
  [devices release];
  [matching release];
  [runLoop release];
  [runLoopMode release];
  [super dealloc];
}

- (void)startIfReady {
  if (!open || runLoop == nil || core != nullptr) return;
  core = new ManagerCore(self, runLoop, runLoopMode, matchingSet && matching == nil);
  core->Start();
}

// Lets every device go without removal callbacks, as closing a manager does.
- (void)stop {
  delete core;
  core = nullptr;
  NSArray* all = [devices allValues];
  for (NSUInteger i = 0; i < [all count]; ++i) ((StandinHIDDevice*)[all objectAtIndex:i])->manager = nil;
  [devices removeAllObjects];
}

- (void)announcePending {
  NSArray* all = [devices allValues];
  for (NSUInteger i = 0; i < [all count]; ++i) {
    StandinHIDDevice* device = [all objectAtIndex:i];
    if (device->announced || device->manager == nil || matchingCallback == NULL) continue;
    device->announced = YES;
    matchingCallback(matchingContext, kIOReturnSuccess, self, (IOHIDDeviceRef)device);
  }
}

- (void)deviceArrived:(hiddevice::DeviceId)deviceId properties:(NSDictionary*)properties {
  if (!Matches(matching, matchingSet, properties)) return;
  StandinHIDDevice* device = [[[StandinHIDDevice alloc] init] autorelease];
  device->deviceId = deviceId;
  device->properties = [properties retain];
  device->manager = self;
  [devices setObject:device forKey:KeyFor(deviceId)];
  if (matchingCallback == NULL) return;  // told once a callback is registered
  device->announced = YES;
  [device retain];
  matchingCallback(matchingContext, kIOReturnSuccess, self, (IOHIDDeviceRef)device);
  [device release];
}

- (void)deviceRemoved:(hiddevice::DeviceId)deviceId {
  StandinHIDDevice* device = [[devices objectForKey:KeyFor(deviceId)] retain];
  if (device == nil) return;
  [devices removeObjectForKey:KeyFor(deviceId)];
  device->manager = nil;
  if (device->announced && removalCallback != NULL) {
    removalCallback(removalContext, kIOReturnSuccess, self, (IOHIDDeviceRef)device);
  }
  [device release];
}

- (void)inputReport:(const uint8_t*)report length:(std::size_t)length from:(hiddevice::DeviceId)deviceId {
  StandinHIDDevice* device = [devices objectForKey:KeyFor(deviceId)];
  if (device == nil || !device->opened || device->reportCallback == NULL || device->reportBuffer == NULL) return;
  const std::size_t copied = std::min<std::size_t>(length, static_cast<std::size_t>(device->reportBufferLength));
  std::copy(report, report + copied, device->reportBuffer);
  [device retain];  // the callback may run a nested loop in which the device goes
  device->reportCallback(device->reportContext, kIOReturnSuccess, device, kIOHIDReportTypeInput, 0,
                         device->reportBuffer, static_cast<CFIndex>(copied));
  [device release];
}

- (IOReturn)writeReport:(const uint8_t*)report length:(std::size_t)length to:(hiddevice::DeviceId)deviceId {
  if (core == nullptr) return kIOReturnNotAttached;
  switch (core->Source().WriteReport(deviceId, report, length)) {
    case hiddevice::WriteResult::Written:
      return kIOReturnSuccess;
    case hiddevice::WriteResult::Gone:
      return kIOReturnNotAttached;
    case hiddevice::WriteResult::Failed:
      break;
  }
  return kIOReturnError;
}

@end

IOHIDManagerRef IOHIDManagerCreate(CFAllocatorRef, IOOptionBits) {
  return (IOHIDManagerRef)[[StandinHIDManager alloc] init];
}

void IOHIDManagerSetDeviceMatching(IOHIDManagerRef manager, CFDictionaryRef matching) {
  IOHIDManagerSetDeviceMatchingMultiple(
      manager, matching == NULL ? NULL : (CFArrayRef)[NSArray arrayWithObject:(NSDictionary*)matching]);
}

// Devices already matched stay; the criteria apply to later arrivals.
void IOHIDManagerSetDeviceMatchingMultiple(IOHIDManagerRef manager, CFArrayRef multiple) {
  StandinHIDManager* hid = AsManager(manager);
  NSArray* criteria = [(NSArray*)multiple copy];
  [hid->matching release];
  hid->matching = criteria;
  hid->matchingSet = YES;
}

void IOHIDManagerScheduleWithRunLoop(IOHIDManagerRef manager, CFRunLoopRef runLoop, CFStringRef runLoopMode) {
  StandinHIDManager* hid = AsManager(manager);
  if (hid->runLoop != nil) return;  // one run loop and mode at a time
  hid->runLoop = [(NSRunLoop*)runLoop retain];
  hid->runLoopMode = [RunLoopModeFor(runLoopMode) copy];
  [hid startIfReady];
}

void IOHIDManagerUnscheduleFromRunLoop(IOHIDManagerRef manager, CFRunLoopRef, CFStringRef) {
  StandinHIDManager* hid = AsManager(manager);
  [hid stop];
  [hid->runLoop release];
  hid->runLoop = nil;
  [hid->runLoopMode release];
  hid->runLoopMode = nil;
}

IOReturn IOHIDManagerOpen(IOHIDManagerRef manager, IOOptionBits) {
  StandinHIDManager* hid = AsManager(manager);
  hid->open = YES;
  [hid startIfReady];
  return kIOReturnSuccess;
}

IOReturn IOHIDManagerClose(IOHIDManagerRef manager, IOOptionBits) {
  StandinHIDManager* hid = AsManager(manager);
  if (!hid->open) return kIOReturnNotOpen;
  hid->open = NO;
  [hid stop];
  return kIOReturnSuccess;
}

void IOHIDManagerRegisterDeviceMatchingCallback(IOHIDManagerRef manager, IOHIDDeviceCallback callback, void* context) {
  StandinHIDManager* hid = AsManager(manager);
  hid->matchingCallback = callback;
  hid->matchingContext = context;
  // Devices matched before there was a callback are told from the run loop.
  if (callback != NULL && hid->core != nullptr) {
    StandinHIDManager* owner = hid;
    hid->core->Loop().After(0, [=] { [owner announcePending]; });
  }
}

void IOHIDManagerRegisterDeviceRemovalCallback(IOHIDManagerRef manager, IOHIDDeviceCallback callback, void* context) {
  StandinHIDManager* hid = AsManager(manager);
  hid->removalCallback = callback;
  hid->removalContext = context;
}

IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits) {
  StandinHIDDevice* hid = AsDevice(device);
  if (hid->manager == nil) return kIOReturnNotAttached;
  hid->opened = YES;
  return kIOReturnSuccess;
}

IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits) {
  StandinHIDDevice* hid = AsDevice(device);
  if (!hid->opened) return kIOReturnNotOpen;
  hid->opened = NO;
  return kIOReturnSuccess;
}

CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key) {
  return (CFTypeRef)[AsDevice(device)->properties objectForKey:(NSString*)key];
}

void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report, CFIndex reportLength,
                                            IOHIDReportCallback callback, void* context) {
  StandinHIDDevice* hid = AsDevice(device);
  hid->reportBuffer = report;
  hid->reportBufferLength = reportLength;
  hid->reportCallback = callback;
  hid->reportContext = context;
}

IOReturn IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType reportType, CFIndex, const uint8_t* report,
                              CFIndex reportLength) {
  StandinHIDDevice* hid = AsDevice(device);
  if (hid->manager == nil) return kIOReturnNotAttached;
  if (reportType != kIOHIDReportTypeOutput) return kIOReturnUnsupported;
  if (report == NULL || reportLength <= 0) return kIOReturnBadArgument;
  return [hid->manager writeReport:report length:static_cast<std::size_t>(reportLength) to:hid->deviceId];
}
