// Which attached HID devices the application serves, their arrival and
// removal, and their input reports, all on the main run loop through the HID
// manager that the window controller owns.
#pragma once

#import <Foundation/Foundation.h>

#include <IOKit/hid/IOHIDLib.h>
#include <stdint.h>

@class JoystickController;

struct VendorProductId {
  uint16_t vendorId;
  uint16_t productId;
};

// The identifiers of a controller in BOOT mode, in the order they are matched.
extern const VendorProductId vidpid[2];

// The controller that accepted the most recent device; the engine reaches the
// window through it.
extern JoystickController* js;
// The most recently accepted device while it is attached; NULL once it is
// gone. The window's version field and Update button describe it.
extern IOHIDDeviceRef deviceRef;
// Accepted devices that are attached.
extern int32_t deviceConnected;

void add_callback(void* context, IOReturn result, void* sender, IOHIDDeviceRef device);
void remove_callback(void* context, IOReturn result, void* sender, IOHIDDeviceRef device);
void HidDeviceIOInPutReportCallback(void* context, IOReturn result, void* sender, IOHIDReportType type,
                                    uint32_t reportID, uint8_t* report, CFIndex reportLength);

bool CheckValidDevice(uint16_t vendorId, uint16_t productId);
bool IOHIDDevice_GetLongProperty(IOHIDDeviceRef device, CFStringRef key, int32_t* value);
long IOHIDDevice_GetVendorID(IOHIDDeviceRef device);
long IOHIDDevice_GetProductID(IOHIDDeviceRef device);

// One 64-byte output report, report ID 0; `count` only labels the trace.
IOReturn WriteHid(IOHIDDeviceRef device, const uint8_t* report, uint8_t count);

// True while `device` is an accepted device that has not been removed: only
// such a handle may be used.
bool IsAttachedDevice(IOHIDDeviceRef device);
// The device an update run is being served by; its removal ends the run.
void ServeUpdateFrom(IOHIDDeviceRef device);
// Controllers that arrived while an update ran are offered, in order, as
// any arrival is, once the run is over; nothing happens while it goes on.
// Called after every entry into the engine that may end a run.
void OfferHeldArrivals();
// The controller goes away with its HID manager: the devices it accepted are
// no longer attached as far as the application knows, and none of them may
// be used again.
void ForgetDevicesOf(JoystickController* controller);
