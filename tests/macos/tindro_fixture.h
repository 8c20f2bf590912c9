// A test of the running application: its interface loaded and launched, its
// devices the test's emulated controllers.
#pragma once

#import "ApplicationController.h"
#import "HidDeviceTracking.h"
#import "JoystickController.h"

#include <gtest/gtest.h>

#include "test_controller.h"
#include "ui_support.h"

class Tindro : public testing::Test {
 protected:
  void SetUp() override { ui_.FinishLaunching(); }

  static ControllerConfig Boot(uint16_t vendor = 0x2DC8, uint16_t version = 105, uint16_t beta = 0) {
    ControllerConfig config;
    config.vendorId = vendor;
    config.version = version;
    config.beta = beta;
    return config;
  }

  NSButton* UpdateButton() { return [ui_.controller updateButton]; }
  std::string VersionText() { return Utf8([[ui_.controller versionText] stringValue]); }

  LoadedInterface ui_;
};

// Reports written to a device that carry this message kind (byte 2) and,
// for firmware commands, this command (byte 5).
inline std::size_t Count(const std::vector<Report>& written, uint8_t kind, int command = -1) {
  std::size_t count = 0;
  for (const Report& report : written)
    if (report[2] == kind && (command < 0 || report[5] == command)) ++count;
  return count;
}
