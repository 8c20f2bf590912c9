#import "HidDeviceTracking.h"

#import "JoystickController.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine.h"

const VendorProductId vidpid[2] = {
    {0x0483, 0x5750},
    {0x2DC8, 0x5750},
};

JoystickController* js = nil;
IOHIDDeviceRef deviceRef = NULL;
int32_t deviceConnected = 0;

namespace {

// Accepted devices that are attached, with the controller that accepted
// each. The HID manager lets a device go right after its removal callback,
// so a handle that is not here must never be used.
struct AcceptedDevice {
  IOHIDDeviceRef device;
  JoystickController* controller;
};
std::vector<AcceptedDevice> acceptedDevices;

IOHIDDeviceRef servingDevice = NULL;

// Controllers that arrived while an update ran, in order of arrival. Nothing
// of them reaches the window or the engine before the run is over: the
// button would offer a second controller mid-run, and its version answer
// (a factory-firmware alert among them) would land in the middle of the
// transfer.
std::vector<AcceptedDevice> heldArrivals;

unsigned Low32(const void* pointer) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)); }

void Forget(IOHIDDeviceRef device) {
  acceptedDevices.erase(std::remove_if(acceptedDevices.begin(), acceptedDevices.end(),
                                       [=](const AcceptedDevice& entry) { return entry.device == device; }),
                        acceptedDevices.end());
  if (deviceRef == device) deviceRef = NULL;
}

bool ForgetHeldArrival(IOHIDDeviceRef device) {
  const auto held = std::find_if(heldArrivals.begin(), heldArrivals.end(),
                                 [=](const AcceptedDevice& entry) { return entry.device == device; });
  if (held == heldArrivals.end()) return false;
  heldArrivals.erase(held);
  return true;
}

void Accept(JoystickController* controller, IOHIDDeviceRef device) {
  ControllerAttached();
  ++deviceConnected;
  js = controller;
  deviceRef = device;
  acceptedDevices.push_back(AcceptedDevice{device, controller});
  IOHIDDeviceOpen(device, kIOHIDOptionsTypeNone);
  IOHIDDeviceRegisterInputReportCallback(device, [controller reportBuffer], [controller reportSizeIn],
                                         HidDeviceIOInPutReportCallback, controller);
  [[controller updateButton] setEnabled:YES];
  SendFirmwarePacket(reinterpret_cast<DeviceTarget>(device), PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
}

}  // namespace

bool CheckValidDevice(uint16_t vendorId, uint16_t productId) {
  for (const VendorProductId& entry : vidpid) {
    if (entry.vendorId == vendorId && entry.productId == productId) return true;
  }
  return false;
}

bool IOHIDDevice_GetLongProperty(IOHIDDeviceRef device, CFStringRef key, int32_t* value) {
  CFTypeRef property = IOHIDDeviceGetProperty(device, key);
  if (property == NULL || CFGetTypeID(property) != CFNumberGetTypeID()) return false;
  return CFNumberGetValue((CFNumberRef)property, kCFNumberSInt32Type, value);
}

long IOHIDDevice_GetVendorID(IOHIDDeviceRef device) {
  int32_t value = 0;
  IOHIDDevice_GetLongProperty(device, CFSTR(kIOHIDVendorIDKey), &value);
  return value;
}

long IOHIDDevice_GetProductID(IOHIDDeviceRef device) {
  int32_t value = 0;
  IOHIDDevice_GetLongProperty(device, CFSTR(kIOHIDProductIDKey), &value);
  return value;
}

IOReturn WriteHid(IOHIDDeviceRef device, const uint8_t* report, uint8_t count) {
  (void)count;  // labels the report dump, which prints nothing
  return IOHIDDeviceSetReport(device, kIOHIDReportTypeOutput, 0, report, 64);
}

bool IsAttachedDevice(IOHIDDeviceRef device) {
  return device != NULL && std::any_of(acceptedDevices.begin(), acceptedDevices.end(),
                                       [=](const AcceptedDevice& entry) { return entry.device == device; });
}

void ServeUpdateFrom(IOHIDDeviceRef device) { servingDevice = device; }

void ForgetDevicesOf(JoystickController* controller) {
  std::vector<AcceptedDevice> kept;
  for (const AcceptedDevice& entry : acceptedDevices) {
    if (entry.controller == controller) {
      if (deviceRef == entry.device) deviceRef = NULL;
      if (servingDevice == entry.device) servingDevice = NULL;
      if (deviceConnected > 0) --deviceConnected;
    } else {
      kept.push_back(entry);
    }
  }
  acceptedDevices.swap(kept);
  heldArrivals.erase(std::remove_if(heldArrivals.begin(), heldArrivals.end(),
                                    [=](const AcceptedDevice& entry) { return entry.controller == controller; }),
                     heldArrivals.end());
  if (js == controller) js = nil;
}

void add_callback(void* context, IOReturn result, void* sender, IOHIDDeviceRef device) {
  (void)result;
  JoystickController* controller = (JoystickController*)context;
  NSLog(@"%@\n", (id)IOHIDDeviceGetProperty(device, CFSTR(kIOHIDProductKey)));
  NSLog(@"0x%04x,0x%04x\n", static_cast<unsigned>(IOHIDDevice_GetVendorID(device)),
        static_cast<unsigned>(IOHIDDevice_GetProductID(device)));

  const long vendorId = IOHIDDevice_GetVendorID(device);
  const long productId = IOHIDDevice_GetProductID(device);
  if (!CheckValidDevice(static_cast<uint16_t>(vendorId & 0xFFFF), static_cast<uint16_t>(productId & 0xFFFF))) {
    NSLog(@"Not BOOT Mode\n");
    if (deviceUpgradedCount > 0) {
      --deviceUpgradedCount;
      return;
    }
    if (deviceConnected == 0) [controller showHelp:nil];
    return;
  }

  // The run belongs to the controller it started on, up to its end message;
  // the newcomer is offered once it is over (OfferHeldArrivals).
  if (!m_updateComplete) {
    NSLog(@"%s,%d::held until the running update ends\n", __func__, __LINE__);
    heldArrivals.push_back(AcceptedDevice{device, controller});
    return;
  }
  Accept(controller, device);
  NSLog(@"%s,%d::inContext=%x inSender=%x device=%x\n", __func__, __LINE__, Low32(context), Low32(sender),
        Low32(device));
}

void remove_callback(void* context, IOReturn result, void* sender, IOHIDDeviceRef device) {
  (void)context;
  (void)result;
  (void)sender;
  const bool wasHeld = ForgetHeldArrival(device);
  const bool wasAccepted = IsAttachedDevice(device);
  const bool wasServing = device != NULL && device == servingDevice;
  Forget(device);
  if (wasServing) servingDevice = NULL;

  const long vendorId = IOHIDDevice_GetVendorID(device);
  const long productId = IOHIDDevice_GetProductID(device);
  NSLog(@"Remove Device:vid,pid=0x%04x,0x%04x\n", static_cast<unsigned>(vendorId), static_cast<unsigned>(productId));
  if (!CheckValidDevice(static_cast<uint16_t>(vendorId & 0xFFFF), static_cast<uint16_t>(productId & 0xFFFF))) return;
  if (wasHeld) return;  // never offered: nothing of it is on screen
  if (deviceConnected > 0) --deviceConnected;
  // The window shows the controller the Update button names. Another one
  // going (the controller just updated leaving BOOT mode, say) leaves it.
  if (deviceRef == NULL) {
    [[js versionText] setStringValue:@""];
    [[js updateButton] setEnabled:NO];
  }

  // The controller being updated is gone: the run ends now, with the
  // failure message, rather than waiting on a device that cannot answer.
  if (wasAccepted && wasServing) ControllerRemoved();
  OfferHeldArrivals();
}

void OfferHeldArrivals() {
  while (m_updateComplete && !heldArrivals.empty()) {
    const AcceptedDevice next = heldArrivals.front();
    heldArrivals.erase(heldArrivals.begin());
    NSLog(@"%s,%d::offered now that the update has ended: device=%x\n", __func__, __LINE__, Low32(next.device));
    Accept(next.controller, next.device);
  }
}

void HidDeviceIOInPutReportCallback(void* context, IOReturn result, void* sender, IOHIDReportType type,
                                    uint32_t reportID, uint8_t* report, CFIndex reportLength) {
  (void)result;
  (void)type;
  (void)reportID;
  NSLog(@"%s,%d::reportLength=%ld\n", __func__, __LINE__, static_cast<long>(reportLength));
  NSLog(@"%s,%d::context=%x sender=%x\n", __func__, __LINE__, Low32(context), Low32(sender));
  // The buffer's last bytes stay zero, so the report reads as a terminated string.
  NSLog(@"%s,%d::&report[1]=%s sender=%x\n", __func__, __LINE__, reinterpret_cast<const char*>(&report[1]),
        static_cast<unsigned>(report[0]));
  // One line " %x " per byte, written as one trace: a trace call per byte
  // would cost the transfer more than everything else it does per chunk.
  char bytes[64 * sizeof " ff \n"];
  std::size_t used = 0;
  for (CFIndex i = 0; i < reportLength && used + sizeof " ff \n" <= sizeof bytes; ++i) {
    used += static_cast<std::size_t>(
        snprintf(bytes + used, sizeof bytes - used, i == 0 ? " %x " : "\n %x ", static_cast<unsigned>(report[i])));
  }
  if (used > 0) NSLog(@"%.*s", static_cast<int>(used), bytes);

  OnDataReceived(reinterpret_cast<DeviceTarget>(sender), PACKET_TYPE_HID, report + 1, report[0]);
  OfferHeldArrivals();
}
