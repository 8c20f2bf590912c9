// The IOKit HID manager and device calls Tindro uses, where IOKit is absent.
//
// Devices come from a device source (device/device_source.h): the system's
// hidraw devices. As with IOKit, every callback runs on the run
// loop the manager is scheduled on, in the mode it was scheduled for, and
// only while the manager is open; a device reaches the matching callback only
// when it matches the criteria set on the manager, and its removal callback
// only after that.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/hid/IOHIDKeys.h>

typedef struct __IOHIDManager* IOHIDManagerRef;
typedef struct __IOHIDDevice* IOHIDDeviceRef;

typedef void (*IOHIDCallback)(void* context, IOReturn result, void* sender);
typedef void (*IOHIDDeviceCallback)(void* context, IOReturn result, void* sender, IOHIDDeviceRef device);
typedef void (*IOHIDReportCallback)(void* context, IOReturn result, void* sender, IOHIDReportType type,
                                    uint32_t reportID, uint8_t* report, CFIndex reportLength);

#ifdef __cplusplus
extern "C" {
#endif

IOHIDManagerRef IOHIDManagerCreate(CFAllocatorRef allocator, IOOptionBits options);
void IOHIDManagerSetDeviceMatching(IOHIDManagerRef manager, CFDictionaryRef matching);
void IOHIDManagerSetDeviceMatchingMultiple(IOHIDManagerRef manager, CFArrayRef multiple);
void IOHIDManagerScheduleWithRunLoop(IOHIDManagerRef manager, CFRunLoopRef runLoop, CFStringRef runLoopMode);
void IOHIDManagerUnscheduleFromRunLoop(IOHIDManagerRef manager, CFRunLoopRef runLoop, CFStringRef runLoopMode);
IOReturn IOHIDManagerOpen(IOHIDManagerRef manager, IOOptionBits options);
IOReturn IOHIDManagerClose(IOHIDManagerRef manager, IOOptionBits options);
void IOHIDManagerRegisterDeviceMatchingCallback(IOHIDManagerRef manager, IOHIDDeviceCallback callback, void* context);
void IOHIDManagerRegisterDeviceRemovalCallback(IOHIDManagerRef manager, IOHIDDeviceCallback callback, void* context);

IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits options);
IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits options);
CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key);
void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report, CFIndex reportLength,
                                            IOHIDReportCallback callback, void* context);
IOReturn IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType reportType, CFIndex reportID,
                              const uint8_t* report, CFIndex reportLength);

#ifdef __cplusplus
}
#endif
