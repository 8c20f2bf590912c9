#import "ui_support.h"

#import "ApplicationController.h"
#import "JoystickController.h"


namespace {

constexpr NSTimeInterval kSlice = 0.005;
constexpr NSTimeInterval kWatchInterval = 0.02;

void Collect(NSView* view, Class cls, NSMutableArray* found) {
  if ([view isKindOfClass:cls]) [found addObject:view];
  NSArray* children = [view subviews];
  for (NSUInteger i = 0; i < [children count]; ++i) Collect([children objectAtIndex:i], cls, found);
}

// Distance from the window's top, whatever the views' flipping.
CGFloat TopOf(NSView* view) {
  const NSRect inWindow = [view convertRect:[view bounds] toView:nil];
  return -NSMaxY(inWindow);
}

NSInteger TopFirst(id first, id second, void*) {
  const CGFloat a = TopOf(first);
  const CGFloat b = TopOf(second);
  return a < b ? NSOrderedAscending : (a > b ? NSOrderedDescending : NSOrderedSame);
}

bool IsSheet(NSWindow* modal) {
  NSArray* windows = [NSApp windows];
  for (NSUInteger i = 0; i < [windows count]; ++i)
    if (modal != nil && [[windows objectAtIndex:i] attachedSheet] == modal) return true;
  return false;
}

// The message text is the topmost text of an alert, the informative text
// the one below it.
SeenModal Describe(NSWindow* modal) {
  SeenModal seen;
  if ([modal isKindOfClass:[NSSavePanel class]]) {
    seen.kind = "panel";
    return seen;
  }
  seen.kind = IsSheet(modal) ? "sheet" : "alert";
  NSMutableArray* fields = [NSMutableArray array];
  NSArray* all = ViewsOfClass([modal contentView], [NSTextField class]);
  for (NSUInteger i = 0; i < [all count]; ++i) {
    NSTextField* field = [all objectAtIndex:i];
    if (![field isHidden] && ![field isEditable]) [fields addObject:field];
  }
  [fields sortUsingFunction:TopFirst context:NULL];
  if ([fields count] > 0) seen.message = Utf8([[fields objectAtIndex:0] stringValue]);
  if ([fields count] > 1) seen.informative = Utf8([[fields objectAtIndex:1] stringValue]);
  return seen;
}

// A modal loop that was told to stop notices it at its next event.
void NudgeModalLoop() {
  [NSApp postEvent:[NSEvent otherEventWithType:NSApplicationDefined
                                      location:NSZeroPoint
                                 modifierFlags:0
                                     timestamp:0
                                  windowNumber:0
                                       context:nil
                                       subtype:0
                                         data1:0
                                         data2:0]
           atStart:NO];
}

}  // namespace

@interface ModalWatcher : NSObject {
 @public
  ModalAnswers* answers;
  NSTimer* timer;
}
- (void)tick:(NSTimer*)timer;
@end

@implementation ModalWatcher
- (void)tick:(NSTimer*)unused {
  (void)unused;
    if (answers != nullptr) answers->Tick();
}
@end

bool RunUntil(const std::function<bool()>& done, double seconds) {
  NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:seconds];
  while (!done()) {
    if ([deadline timeIntervalSinceNow] <= 0) return done();
        NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode beforeDate:[NSDate dateWithTimeIntervalSinceNow:kSlice]];
    [pool release];
  }
  return true;
}

void RunFor(double seconds) {
  RunUntil([] { return false; }, seconds);
}

ModalAnswers::ModalAnswers() : onScreen_([[NSMutableArray alloc] init]), watcher_([[ModalWatcher alloc] init]) {
  watcher_->answers = this;
  watcher_->timer = [NSTimer timerWithTimeInterval:kWatchInterval
                                            target:watcher_
                                          selector:@selector(tick:)
                                          userInfo:nil
                                           repeats:YES];
  [[NSRunLoop currentRunLoop] addTimer:watcher_->timer forMode:NSModalPanelRunLoopMode];
}

ModalAnswers::~ModalAnswers() {
  watcher_->answers = nullptr;
  [watcher_->timer invalidate];
  [watcher_ release];
  [onScreen_ release];
}

ModalAnswers& ModalAnswers::Then(Step step) {
  steps_.push_back(std::move(step));
  return *this;
}

void ModalAnswers::Tick() {
  for (NSUInteger i = [onScreen_ count]; i > 0; --i)
    if (![[onScreen_ objectAtIndex:i - 1] isVisible]) [onScreen_ removeObjectAtIndex:i - 1];
  NSWindow* modal = [NSApp modalWindow];
  // A window answered a moment ago stays the modal window, closed, until its
  // loop notices.
  if (modal == nil || ![modal isVisible]) return;
  if ([onScreen_ indexOfObjectIdenticalTo:modal] == NSNotFound) {
    [onScreen_ addObject:modal];
    seen_.push_back(Describe(modal));
  }
  if (steps_.empty()) {
    PressButton(ButtonTitled(modal, @"OK"));
    return;
  }
  // Off the queue while it runs: a step may run a modal loop of its own, in
  // which the next steps answer.
  Step step = std::move(steps_.front());
  steps_.pop_front();
  if (!step(modal)) steps_.push_front(std::move(step));
}

ModalAnswers::Step Press(NSString* button) {
  return [=](NSWindow* modal) {
    NSButton* found = ButtonTitled(modal, button);
    if (found == nil) return false;
    PressButton(found);
    return true;
  };
}

ModalAnswers::Step PressOn(NSString* message, NSString* button) {
  return [=](NSWindow* modal) {
    if (Describe(modal).message != Utf8(message)) return false;
    return Press(button)(modal);
  };
}

ModalAnswers::Step ChooseFile(const std::string& path) {
  return [=](NSWindow* modal) {
    if (![modal isKindOfClass:[NSSavePanel class]]) return false;
    NSBrowser* browser = [ViewsOfClass([modal contentView], [NSBrowser class]) lastObject];
    if (browser == nil || ![browser setPath:[NSString stringWithUTF8String:path.c_str()]]) return false;
    return Press(@"OK")(modal);
  };
}

ModalAnswers::Step ChooseFileOrGiveUp(const std::string& path) {
  return [=](NSWindow* modal) {
    if (![modal isKindOfClass:[NSSavePanel class]]) return false;
    NSBrowser* browser = [ViewsOfClass([modal contentView], [NSBrowser class]) lastObject];
    return Press([browser setPath:[NSString stringWithUTF8String:path.c_str()]] ? @"OK" : @"Cancel")(modal);
  };
}

ModalAnswers::Step EndSheetWithCode(int code) {
  return [=](NSWindow* modal) {
    if (!IsSheet(modal)) return false;
    [NSApp endSheet:modal returnCode:code];
    NudgeModalLoop();
    return true;
  };
}

ModalAnswers::Step WhileOn(NSString* message, std::function<void()> action) {
  return [=](NSWindow* modal) {
    if (Describe(modal).message != Utf8(message)) return false;
    action();
    return true;
  };
}

ModalAnswers::Step While(std::function<void()> action) {
  return [=](NSWindow*) {
    action();
    return true;
  };
}

LoadedInterface::LoadedInterface() : topLevel_([[NSMutableArray alloc] init]) {
  NSDictionary* names =
      [NSDictionary dictionaryWithObjectsAndKeys:NSApp, @"NSOwner", topLevel_, @"NSTopLevelObjects", nil];
  [NSBundle loadNibFile:@TINDRO_INTERFACE_FILE externalNameTable:names withZone:NULL];
  for (NSUInteger i = 0; i < [topLevel_ count]; ++i) {
    id object = [topLevel_ objectAtIndex:i];
    if ([object isKindOfClass:[ApplicationController class]]) delegate = object;
    if ([object isKindOfClass:[JoystickController class]]) controller = object;
    if ([object isKindOfClass:[NSWindow class]] && ![object isKindOfClass:[NSPanel class]]) window = object;
  }
}

LoadedInterface::~LoadedInterface() {
  [window orderOut:nil];
  [NSApp setDelegate:nil];
  [topLevel_ release];
}

void LoadedInterface::FinishLaunching() {
  [window makeKeyAndOrderFront:nil];
  [delegate
      applicationDidFinishLaunching:[NSNotification notificationWithName:NSApplicationDidFinishLaunchingNotification
                                                                  object:NSApp]];
}

NSArray* ViewsOfClass(NSView* root, Class cls) {
  NSMutableArray* found = [NSMutableArray array];
  if (root != nil) Collect(root, cls, found);
  return found;
}

NSButton* ButtonTitled(NSWindow* window, NSString* title) {
  NSArray* buttons = ViewsOfClass([window contentView], [NSButton class]);
  for (NSUInteger i = 0; i < [buttons count]; ++i) {
    NSButton* button = [buttons objectAtIndex:i];
    if ([[button title] isEqualToString:title] && ![button isHidden]) return button;
  }
  return nil;
}

void PressButton(NSButton* button) {
  if (button == nil) return;
  [NSApp sendAction:[button action] to:[button target] from:button];
  NudgeModalLoop();
}

std::string MessageOf(NSWindow* modal) { return Describe(modal).message; }

std::string Utf8(NSString* text) { return text == nil ? std::string() : std::string([text UTF8String]); }
