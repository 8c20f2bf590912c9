// The GUI tests run on the main thread of an application that is set up but
// never run: each test runs the run loop itself, for as long as it needs.
#import <AppKit/AppKit.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  testing::InitGoogleTest(&argc, argv);
  [NSApplication sharedApplication];
  const int result = RUN_ALL_TESTS();
  [pool release];
  return result;
}
