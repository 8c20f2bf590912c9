// An updater that costs nothing through Tindro's own stack here: the IOKit
// HID calls Tindro makes, served by its stand-in over the hidraw source, on
// GNUstep's run loop; reports built in advance, no engine, no window, no
// traces. Beside korvid_hidraw_null_updater (the bare node) it tells what
// the stack costs and what Tindro costs beyond it.
// Usage: korvid_iokit_null_updater FIRMWARE.dat
// Exit status: 0 every report went out, 1 the controller failed, went or
// was silent for 10 s, 2 bad usage or file.
#import <Foundation/Foundation.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hid/IOHIDKeys.h>
#include <IOKit/hid/IOHIDLib.h>

#include <chrono>
#include <cstdio>

#include "null_updater_reports.h"

namespace {

struct Run {
  std::vector<unsigned char> reports;
  std::size_t next = 0;  // offset of the next report to write
  IOHIDDeviceRef device = nullptr;
  uint8_t buffer[kReportSize] = {};
  int status = -1;  // set once the run is over
  std::chrono::steady_clock::time_point lastHeard = std::chrono::steady_clock::now();
};

void Finish(Run& run, int status, const char* why) {
  if (run.status >= 0) return;
  run.status = status;
  if (why != nullptr) std::fprintf(stderr, "korvid_iokit_null_updater: %s\n", why);
}

void WriteNext(Run& run) {
  if (IOHIDDeviceSetReport(run.device, kIOHIDReportTypeOutput, 0, &run.reports[run.next], kReportSize) !=
      kIOReturnSuccess) {
    Finish(run, 1, "a report could not be written");
    return;
  }
  run.next += kReportSize;
  if (run.next == run.reports.size()) Finish(run, 0, nullptr);  // the completion needs no answer
}

void ReportCame(void* context, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t* report, CFIndex length) {
  Run& run = *static_cast<Run*>(context);
  run.lastHeard = std::chrono::steady_clock::now();
  const auto size = static_cast<std::size_t>(length);
  if (run.next == 0) {
    if (null_updater::IsIdentity(report, size)) WriteNext(run);
    return;
  }
  const int event = null_updater::FirmwareEvent(report, size);
  if (event < 0) return;
  if (event == FIRMWARE_ACK)
    WriteNext(run);
  else
    Finish(run, 1, "the controller reported a failure");
}

void DeviceMatched(void* context, IOReturn, void*, IOHIDDeviceRef device) {
  Run& run = *static_cast<Run*>(context);
  if (run.device != nullptr) return;  // the first controller only
  run.device = device;
  IOHIDDeviceOpen(device, 0);
  IOHIDDeviceRegisterInputReportCallback(device, run.buffer, sizeof run.buffer, ReportCame, &run);
  if (IOHIDDeviceSetReport(device, kIOHIDReportTypeOutput, 0, null_updater::kUpdateRequest, kReportSize) !=
      kIOReturnSuccess)
    Finish(run, 1, "the update request could not be written");
}

void DeviceRemoved(void* context, IOReturn, void*, IOHIDDeviceRef device) {
  Run& run = *static_cast<Run*>(context);
  if (device == run.device) Finish(run, 1, "the controller went");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: korvid_iokit_null_updater FIRMWARE.dat\n");
    return 2;
  }
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  Run run;
  run.reports = null_updater::PreparedReports(argv[1]);
  if (run.reports.empty()) return 2;

  NSMutableArray* matching = [NSMutableArray array];
  for (long vendor : {0x2DC8L, 0x0483L}) {
    [matching addObject:[NSDictionary dictionaryWithObjectsAndKeys:[NSNumber numberWithLong:vendor],
                                                                   @kIOHIDVendorIDKey,
                                                                   [NSNumber numberWithLong:0x5750L],
                                                                   @kIOHIDProductIDKey, nil]];
  }
  IOHIDManagerRef manager = IOHIDManagerCreate(kCFAllocatorDefault, 0);
  IOHIDManagerSetDeviceMatchingMultiple(manager, (CFArrayRef)matching);
  IOHIDManagerScheduleWithRunLoop(manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
  IOHIDManagerOpen(manager, 0);
  IOHIDManagerRegisterDeviceMatchingCallback(manager, DeviceMatched, &run);
  IOHIDManagerRegisterDeviceRemovalCallback(manager, DeviceRemoved, &run);

  NSRunLoop* loop = [NSRunLoop currentRunLoop];
  while (run.status < 0) {
    NSAutoreleasePool* turn = [[NSAutoreleasePool alloc] init];
    [loop runMode:NSDefaultRunLoopMode beforeDate:[NSDate dateWithTimeIntervalSinceNow:1]];
    if (std::chrono::steady_clock::now() - run.lastHeard > std::chrono::seconds(10)) Finish(run, 1, "the controller was silent for 10 s");
    [turn release];
  }
  IOHIDManagerClose(manager, 0);
  CFRelease(manager);
  [pool release];
  return run.status;
}
