#import "user_view.h"

namespace {

void Collect(NSView* view, Class cls, NSMutableArray* found) {
  if ([view isKindOfClass:cls]) [found addObject:view];
  NSEnumerator* children = [[view subviews] objectEnumerator];
  NSView* child;
  while ((child = [children nextObject]) != nil) Collect(child, cls, found);
}

// The distance from the top of the window, whatever the views' flipping.
CGFloat TopOf(NSView* view) {
  const NSRect inWindow = [view convertRect:[view bounds] toView:nil];
  return -(inWindow.origin.y + inWindow.size.height);
}

NSInteger ByTopThenLeft(id first, id second, void*) {
  const CGFloat a = TopOf(first), b = TopOf(second);
  if (a < b - 0.5) return NSOrderedAscending;
  if (a > b + 0.5) return NSOrderedDescending;
  const CGFloat left = [first convertRect:[first bounds] toView:nil].origin.x;
  const CGFloat right = [second convertRect:[second bounds] toView:nil].origin.x;
  return left < right ? NSOrderedAscending : (left > right ? NSOrderedDescending : NSOrderedSame);
}

NSString* ChooseIn(NSMenu* menu, NSString* part) {
  for (NSInteger i = 0; i < [menu numberOfItems]; ++i) {
    NSMenuItem* item = [menu itemAtIndex:i];
    if ([item hasSubmenu]) {
      NSString* chosen = ChooseIn([item submenu], part);
      if (chosen != nil) return chosen;
    } else if ([item action] != NULL && [item isEnabled] &&
               [[item title] rangeOfString:part options:NSCaseInsensitiveSearch].location != NSNotFound) {
      NSString* title = [[[item title] copy] autorelease];
      [menu performActionForItemAtIndex:i];
      return title;
    }
  }
  return nil;
}

}  // namespace

NSArray* ViewsOfClass(NSView* root, Class cls) {
  NSMutableArray* found = [NSMutableArray array];
  if (root != nil) Collect(root, cls, found);
  return found;
}

NSWindow* ShownMainWindow(void) {
  NSEnumerator* windows = [[NSApp windows] objectEnumerator];
  NSWindow* window;
  while ((window = [windows nextObject]) != nil) {
    if (![window isVisible] || [window isKindOfClass:[NSPanel class]]) continue;
    if ([ViewsOfClass([window contentView], [NSButton class]) count] > 0) return window;
  }
  return nil;
}

NSButton* ButtonTitled(NSWindow* window, NSString* title) {
  NSArray* buttons = ViewsOfClass([window contentView], [NSButton class]);
  NSEnumerator* each = [buttons objectEnumerator];
  NSButton* button;
  while ((button = [each nextObject]) != nil)
    if ([[button title] isEqualToString:title]) return button;
  each = [buttons objectEnumerator];
  while ((button = [each nextObject]) != nil)
    if ([[button title] caseInsensitiveCompare:title] == NSOrderedSame) return button;
  return nil;
}

NSString* ButtonTitles(NSWindow* window) {
  NSMutableArray* titles = [NSMutableArray array];
  NSEnumerator* each = [ViewsOfClass([window contentView], [NSButton class]) objectEnumerator];
  NSButton* button;
  while ((button = [each nextObject]) != nil)
    if (![button isHidden]) [titles addObject:[button title]];
  return [titles componentsJoinedByString:@","];
}

NSProgressIndicator* ProgressBarOf(NSWindow* window) {
  NSEnumerator* each = [ViewsOfClass([window contentView], [NSProgressIndicator class]) objectEnumerator];
  NSProgressIndicator* bar;
  while ((bar = [each nextObject]) != nil)
    if (![bar isIndeterminate]) return bar;
  return nil;
}

NSTextField* ValueFieldOf(NSWindow* window) {
  NSEnumerator* each = [ViewsOfClass([window contentView], [NSTextField class]) objectEnumerator];
  NSTextField* field;
  while ((field = [each nextObject]) != nil)
    if (![field isHidden] && ([field isBezeled] || [field isBordered])) return field;
  return nil;
}

void ReadAlertTexts(NSWindow* alert, NSString** message, NSString** informative) {
  NSMutableArray* fields = [NSMutableArray array];
  NSEnumerator* each = [ViewsOfClass([alert contentView], [NSTextField class]) objectEnumerator];
  NSTextField* field;
  while ((field = [each nextObject]) != nil)
    if (![field isHidden] && [field superview] != nil) [fields addObject:field];
  // The texts may also sit in a text view when they are long.
  each = [ViewsOfClass([alert contentView], [NSTextView class]) objectEnumerator];
  while ((field = [each nextObject]) != nil) [fields addObject:field];
  [fields sortUsingFunction:ByTopThenLeft context:NULL];
  NSMutableArray* below = [NSMutableArray array];
  *message = @"";
  for (NSUInteger i = 0; i < [fields count]; ++i) {
    id view = [fields objectAtIndex:i];
    NSString* text = [view isKindOfClass:[NSTextView class]] ? [view string] : [view stringValue];
    if (i == 0)
      *message = text;
    else if ([text length] > 0)
      [below addObject:text];
  }
  *informative = [below componentsJoinedByString:@"\n"];
}

void NudgeEventLoop(void) {
  NSEvent* nudge = [NSEvent otherEventWithType:NSApplicationDefined
                                      location:NSZeroPoint
                                 modifierFlags:0
                                     timestamp:0
                                  windowNumber:0
                                       context:nil
                                       subtype:0
                                         data1:0
                                         data2:0];
  [NSApp postEvent:nudge atStart:NO];
}

void Press(NSButton* button) {
  [NSApp sendAction:[button action] to:[button target] from:button];
  NudgeEventLoop();
}

NSString* ChooseMenuItem(NSString* part) {
  NSMenu* menu = [NSApp mainMenu];
  return menu != nil ? ChooseIn(menu, part) : nil;
}
