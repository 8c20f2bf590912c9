#import "ApplicationController.h"

#import "JoystickController.h"

void onUncaughtException(NSException* exception) { NSLog(@"Uncaught exception: %@", [exception description]); }

@implementation ApplicationController

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  (void)notification;
  NSSetUncaughtExceptionHandler(&onUncaughtException);
  [jsController setup];
}

- (void)applicationWillTerminate:(NSNotification*)notification {
  (void)notification;
}

- (void)applicationWillBecomeActive:(NSNotification*)notification {
  (void)notification;
  appActive = YES;
}

- (void)applicationWillResignActive:(NSNotification*)notification {
  (void)notification;
  appActive = NO;
}

- (BOOL)applicationShouldHandleReopen:(NSApplication*)application hasVisibleWindows:(BOOL)visibleWindows {
  (void)application;
  (void)visibleWindows;
  [mainWindow makeKeyAndOrderFront:self];
  return YES;
}

- (JoystickController*)jsController {
  return jsController;
}

- (ConfigsController*)configsController {
  return configsController;
}

- (BOOL)appActive {
  return appActive;
}

- (BOOL)active {
  return active;
}

- (void)setActive:(BOOL)value {
  active = value;
}

@end
