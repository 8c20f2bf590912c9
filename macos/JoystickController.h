// The update window's controller: owns the HID manager, answers the Update
// button, shows progress and the help text, and takes the user's answer to
// the confirmation sheet.
#import <AppKit/AppKit.h>

#include <IOKit/hid/IOHIDLib.h>
#include <stdint.h>

@class KeyInputTextView;
@class LBProgressBar;
class WindowFrontEnd;

@interface JoystickController : NSWindowController {
  NSMutableArray* joysticks;
  IOHIDManagerRef hidManager;
  IBOutlet KeyInputTextView* keyInput;
  uint8_t gpReportBufB[72];
  uint8_t reportSizeIn;
  BOOL endFlag;
  IBOutlet LBProgressBar* indicator;
  IBOutlet NSButton* updateButton;
  IBOutlet NSWindow* window;
  IBOutlet NSTextField* versionText;

  WindowFrontEnd* frontEnd;  // the engine's view of this window, from setup on
  NSTimer* watchdogClock;
}

@property(readonly) NSButton* updateButton;
@property(readonly) NSTextField* versionText;

- (id)init;
- (void)dealloc;
- (IBAction)updateButtonAction:(id)sender;
- (void)updateProgress:(int)percent;
- (void)alertEnded:(NSAlert*)alert code:(int)code context:(void*)context;
- (void)setup;
- (IBAction)showHelp:(id)sender;
- (BOOL)becomeFirstResponder;
- (NSButton*)updateButton;
- (NSTextField*)versionText;

// The buffer the HID system writes input reports into, and its length.
- (uint8_t*)reportBuffer;
- (uint8_t)reportSizeIn;

@end

// The folder that holds the application bundle, with its trailing "/".
NSString* getCurrentPath(void);
