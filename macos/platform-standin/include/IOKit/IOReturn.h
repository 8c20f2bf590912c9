// IOKit status codes, as the stand-in HID calls return them.
#pragma once

#include <stdint.h>

typedef int32_t IOReturn;
typedef uint32_t IOOptionBits;

#define kIOReturnSuccess ((IOReturn)0)
#define kIOReturnError ((IOReturn)0xE00002BC)
#define kIOReturnNoDevice ((IOReturn)0xE00002C0)
#define kIOReturnBadArgument ((IOReturn)0xE00002C2)
#define kIOReturnUnsupported ((IOReturn)0xE00002C7)
#define kIOReturnNotOpen ((IOReturn)0xE00002CD)
#define kIOReturnTimeout ((IOReturn)0xE00002D6)
#define kIOReturnNotAttached ((IOReturn)0xE00002D9)
