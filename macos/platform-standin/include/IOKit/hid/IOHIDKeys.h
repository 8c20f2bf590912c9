// Names of the HID device properties the stand-in devices carry.
#pragma once

#define kIOHIDVendorIDKey "VendorID"
#define kIOHIDProductIDKey "ProductID"
#define kIOHIDProductKey "Product"

typedef enum {
  kIOHIDReportTypeInput = 0,
  kIOHIDReportTypeOutput = 1,
  kIOHIDReportTypeFeature = 2,
  kIOHIDReportTypeCount = 3,
} IOHIDReportType;

enum { kIOHIDOptionsTypeNone = 0, kIOHIDOptionsTypeSeizeDevice = 1 };
