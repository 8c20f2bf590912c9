// GNUstep's reader of current-format interface files takes a progress
// indicator's displayedWhenStopped the wrong way round, and an indicator
// that is not displayed while stopped hides itself there. MainMenu.xib says
// what Xcode and macOS read (the default: displayed); this turns the value
// back once an indicator has been read from the interface file. Tindro's only
// interface file is a .xib.
#import <AppKit/AppKit.h>

@interface NSProgressIndicator (InterfaceFileDisplayedWhenStopped)
- (void)awakeFromNib;
@end

@implementation NSProgressIndicator (InterfaceFileDisplayedWhenStopped)
- (void)awakeFromNib {
  if ([NSView instancesRespondToSelector:@selector(awakeFromNib)]) [super awakeFromNib];
  const BOOL displayedWhenStopped = ![self isDisplayedWhenStopped];
  [self setDisplayedWhenStopped:displayedWhenStopped];
  // It was hidden for the wrong value (the interface file hides no indicator).
  if (displayedWhenStopped) [self setHidden:NO];
}
@end
