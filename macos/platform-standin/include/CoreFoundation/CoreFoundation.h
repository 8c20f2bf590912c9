// The few Core Foundation types and calls Tindro uses, where the real
// framework is absent. Every CF object here is the Foundation object it is
// toll-free bridged to on macOS (a CFNumberRef is an NSNumber, a
// CFDictionaryRef an NSDictionary, a CFRunLoopRef the thread's NSRunLoop),
// so the application's bridging casts mean the same thing on both platforms.
#pragma once

#include <stdint.h>

#ifdef __OBJC__
#import <Foundation/Foundation.h>
#endif

typedef unsigned char Boolean;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef struct __CFRunLoop* CFRunLoopRef;

#define kCFAllocatorDefault ((CFAllocatorRef)0)

typedef enum {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
} CFNumberType;

#ifdef __OBJC__
#define CFSTR(text) ((CFStringRef) @text)
#endif

#ifdef __cplusplus
extern "C" {
#endif

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);

CFTypeID CFGetTypeID(CFTypeRef object);
CFTypeID CFNumberGetTypeID(void);
CFTypeID CFStringGetTypeID(void);
CFTypeID CFDictionaryGetTypeID(void);
CFTypeID CFArrayGetTypeID(void);

// True when the number fits the requested type without loss.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value);

CFRunLoopRef CFRunLoopGetCurrent(void);
CFRunLoopRef CFRunLoopGetMain(void);
extern const CFStringRef kCFRunLoopDefaultMode;
extern const CFStringRef kCFRunLoopCommonModes;

#ifdef __cplusplus
}
#endif
