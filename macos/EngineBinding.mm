#import "EngineBinding.h"

#import <AppKit/AppKit.h>

#include <chrono>
#include <string>

#import "HidDeviceTracking.h"
#import "JoystickController.h"
#include "engine.h"

namespace {

constexpr NSTimeInterval kWatchdogInterval = 0.1;

NSString* AsString(std::string_view text) {
  NSString* string = [[[NSString alloc] initWithBytes:text.data() length:text.size()
                                             encoding:NSUTF8StringEncoding] autorelease];
  return string != nil ? string : @"";
}

IOHIDDeviceRef AsDevice(DeviceTarget target) { return reinterpret_cast<IOHIDDeviceRef>(target); }

}  // namespace

// The timer's target: a class, so that the clock keeps no window alive.
@interface EngineClock : NSObject
+ (void)tick:(NSTimer*)timer;
@end

@implementation EngineClock
+ (void)tick:(NSTimer*)timer {
  (void)timer;
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  WatchdogTick(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
  OfferHeldArrivals();  // a controller that fell silent has ended its run
}
@end

NSTimer* StartWatchdogClock() {
  return [NSTimer scheduledTimerWithTimeInterval:kWatchdogInterval
                                          target:[EngineClock class]
                                        selector:@selector(tick:)
                                        userInfo:nil
                                         repeats:YES];
}

Status WindowFrontEnd::WriteReport(DeviceTarget target, const std::uint8_t (&report)[kReportSize]) {
  // A device the HID manager has let go of is never written to.
  if (!IsAttachedDevice(AsDevice(target))) return kIOReturnNotAttached;
  return WriteHid(AsDevice(target), report, report[0]);
}

std::optional<std::filesystem::path> WindowFrontEnd::ChooseFirmwareFile(const FileChoiceRequest& request) {
  NSString* extension = AsString(request.extension);
  NSOpenPanel* panel = [NSOpenPanel openPanel];
  [panel setCanChooseFiles:YES];
  [panel setCanChooseDirectories:NO];
  [panel setAllowsMultipleSelection:NO];
  [panel setAllowedFileTypes:[NSArray arrayWithObject:extension]];
  [panel setAllowsOtherFileTypes:NO];
  [panel setDirectoryURL:[NSURL fileURLWithPath:getCurrentPath()]];
  if ([panel runModal] != NSModalResponseOK) return std::nullopt;
  NSArray* chosen = [panel URLs];
  if ([chosen count] == 0) return std::nullopt;
  NSString* path = [[chosen objectAtIndex:0] path];
  // Only firmware files are taken, however the name was entered.
  if ([[[path pathExtension] lowercaseString] isEqualToString:[extension lowercaseString]] == NO) return std::nullopt;
  return std::filesystem::path([path fileSystemRepresentation]);
}

ConfirmAnswer WindowFrontEnd::AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) {
  ServeUpdateFrom(AsDevice(target));
  NSAlert* alert = [NSAlert alertWithMessageText:AsString(request.title)
                                   defaultButton:@"OK"
                                 alternateButton:@"Cancel"
                                     otherButton:nil
                       informativeTextWithFormat:@"%@", AsString(request.text)];
  [alert beginSheetModalForWindow:[js window]
                    modalDelegate:js
                   didEndSelector:@selector(alertEnded:code:context:)
                      contextInfo:reinterpret_cast<void*>(target)];
  return ConfirmAnswer::Pending;
}

void WindowFrontEnd::ShowDeviceVersion(std::string_view text) {
  NSTextField* field = [js versionText];
  [field setStringValue:AsString(text)];
  NSWindow* window = [field window];
  NSResponder* focus = [window firstResponder];
  if (focus == field || (focus != nil && focus == [field currentEditor])) [window makeFirstResponder:nil];
  [field setBackgroundColor:[NSColor textBackgroundColor]];
}

void WindowFrontEnd::ShowMessage(const UserMessage& message) {
  NSAlert* alert = [[NSAlert alloc] init];
  [alert setMessageText:AsString(message.text)];
  [alert setInformativeText:@""];
  [alert addButtonWithTitle:@"OK"];
  [alert runModal];
  [alert release];
}

void WindowFrontEnd::ShowProgress(std::uint32_t percent) { [js updateProgress:static_cast<int>(percent)]; }

void WindowFrontEnd::EnableUpdateButton(ButtonRule rule) {
  if (rule == ButtonRule::IfControllerPresent && deviceConnected <= 0) return;
  [[js updateButton] setEnabled:YES];
}

void WindowFrontEnd::Trace(std::string_view line) { NSLog(@"%.*s", static_cast<int>(line.size()), line.data()); }
