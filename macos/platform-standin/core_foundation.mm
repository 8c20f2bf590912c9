// Core Foundation calls over the Foundation objects the CF types stand for.
#import <Foundation/Foundation.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cmath>
#include <cstdint>
#include <limits>

const CFStringRef kCFRunLoopDefaultMode = (CFStringRef) @"kCFRunLoopDefaultMode";
const CFStringRef kCFRunLoopCommonModes = (CFStringRef) @"kCFRunLoopCommonModes";

namespace {

enum : CFTypeID { kOtherTypeID = 1, kNumberTypeID, kStringTypeID, kDictionaryTypeID, kArrayTypeID };

// Writes the number as T; true when it is held exactly.
template <typename T>
bool StoreInteger(NSNumber* number, void* value) {
  const double real = [number doubleValue];
  const long long whole = [number longLongValue];
  *static_cast<T*>(value) = static_cast<T>(whole);
  return real == static_cast<double>(whole) && whole >= static_cast<long long>(std::numeric_limits<T>::min()) &&
         whole <= static_cast<long long>(std::numeric_limits<T>::max());
}

}  // namespace

CFTypeRef CFRetain(CFTypeRef object) { return [(id)object retain]; }

void CFRelease(CFTypeRef object) { [(id)object release]; }

CFTypeID CFGetTypeID(CFTypeRef object) {
  id value = (id)object;
  if ([value isKindOfClass:[NSNumber class]]) return kNumberTypeID;
  if ([value isKindOfClass:[NSString class]]) return kStringTypeID;
  if ([value isKindOfClass:[NSDictionary class]]) return kDictionaryTypeID;
  if ([value isKindOfClass:[NSArray class]]) return kArrayTypeID;
  return kOtherTypeID;
}

CFTypeID CFNumberGetTypeID(void) { return kNumberTypeID; }
CFTypeID CFStringGetTypeID(void) { return kStringTypeID; }
CFTypeID CFDictionaryGetTypeID(void) { return kDictionaryTypeID; }
CFTypeID CFArrayGetTypeID(void) { return kArrayTypeID; }

Boolean CFNumberGetValue(CFNumberRef cfNumber, CFNumberType type, void* value) {
  NSNumber* number = (NSNumber*)cfNumber;
  if (number == nil || value == NULL) return false;
  switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
      return StoreInteger<int8_t>(number, value);
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
      return StoreInteger<int16_t>(number, value);
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
      return StoreInteger<int32_t>(number, value);
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType:
      return StoreInteger<int64_t>(number, value);
    case kCFNumberLongType:
      return StoreInteger<long>(number, value);
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
      *static_cast<float*>(value) = [number floatValue];
      return true;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
      *static_cast<double*>(value) = [number doubleValue];
      return true;
  }
  return false;
}

CFRunLoopRef CFRunLoopGetCurrent(void) { return (CFRunLoopRef)[NSRunLoop currentRunLoop]; }

CFRunLoopRef CFRunLoopGetMain(void) { return (CFRunLoopRef)[NSRunLoop mainRunLoop]; }
