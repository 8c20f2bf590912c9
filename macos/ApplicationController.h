// The application's delegate: starts the window controller after launch and
// brings the window back when the running application is opened again.
#import <AppKit/AppKit.h>

@class ConfigsController;
@class JoystickController;

@interface ApplicationController : NSObject {
  IBOutlet JoystickController* jsController;
  IBOutlet ConfigsController* configsController;
  IBOutlet NSDrawer* drawer;
  IBOutlet NSWindow* mainWindow;
  IBOutlet NSToolbarItem* activeButton;
  IBOutlet NSMenuItem* activeMenuItem;
  IBOutlet NSMenu* dockMenuBase;
  BOOL appActive;
  BOOL active;
}

@property(readonly) JoystickController* jsController;
@property(readonly) ConfigsController* configsController;
@property(readonly) BOOL appActive;
@property BOOL active;

- (void)applicationDidFinishLaunching:(NSNotification*)notification;
- (void)applicationWillTerminate:(NSNotification*)notification;
- (void)applicationWillBecomeActive:(NSNotification*)notification;
- (void)applicationWillResignActive:(NSNotification*)notification;
- (BOOL)applicationShouldHandleReopen:(NSApplication*)application hasVisibleWindows:(BOOL)visibleWindows;
- (JoystickController*)jsController;
- (ConfigsController*)configsController;
- (BOOL)appActive;
- (BOOL)active;
- (void)setActive:(BOOL)value;

@end

// The process's handler of exceptions nobody caught: they are logged only.
void onUncaughtException(NSException* exception);
