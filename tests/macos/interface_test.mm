// The interface file as the platform loads it at launch, and the delegate.
#import "ApplicationController.h"
#import "JoystickController.h"
#import "LBProgressBar.h"

#include <gtest/gtest.h>

#include "engine.h"
#include "ui_support.h"

TEST(Interface, OutletsAreConnectedBeforeLaunchingEnds) {
  LoadedInterface ui;
  ASSERT_NE(ui.delegate, nil);
  ASSERT_NE(ui.controller, nil);
  EXPECT_EQ([ui.delegate jsController], ui.controller);
  EXPECT_EQ([NSApp delegate], ui.delegate);
  EXPECT_EQ([ui.controller window], ui.window);
  EXPECT_EQ(Utf8([[ui.controller updateButton] title]), "Update");
  EXPECT_EQ([[ui.controller updateButton] target], ui.controller);
  EXPECT_EQ([[ui.controller updateButton] action], @selector(updateButtonAction:));
  EXPECT_EQ([[ui.controller versionText] window], ui.window);
}
