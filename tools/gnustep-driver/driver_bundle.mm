// The user, played inside the unmodified application: GNUstep loads this
// bundle at start-up when the GSAppKitUserBundles default names it. It looks
// at the screen every few milliseconds (in every run-loop mode, so also
// while a panel, sheet or alert is up), writes down what changed, and does
// what the plan says a user does next. It judges nothing: the script reads
// the record.
#import <AppKit/AppKit.h>

#include <cmath>

#import "driver_plan.h"
#import "driver_record.h"
#import "user_view.h"

namespace {

typedef enum {
  StepWaitWindow,
  StepWaitReady,  // a controller is usable: version shown, Update enabled
  StepWaitPanel,  // Update pressed
  StepWaitSheet,  // a file chosen
  StepAskHelp,    // the help menu item, once the menu is there
  StepWatch,      // nothing more to do but answer alerts
} Step;

// Several periods of the application's 0.1 s clock.
const double kHeldAroundHelpSeconds = 0.3;

double SecondsSince(NSDate* date) { return [[NSDate date] timeIntervalSinceDate:date]; }

}  // namespace

@interface KorvidUserDriver : NSObject {
  DriverPlan* plan_;
  DriverRecord* record_;
  NSTimer* timer_;
  Step step_;
  NSDate* stepStarted_;
  BOOL stuckReported_;
  // What was last seen, so that only changes are written down.
  NSString* seenVersion_;
  int seenUpdate_;  // -1 unknown, 0 disabled, 1 enabled
  int seenProgress_;
  BOOL transferShot_;
  BOOL miniaturized_;
  BOOL helpAsked_;
  // With the controller held still, Help is opened at helpDue_ and the
  // controller let go at releaseDue_.
  NSDate* helpDue_;
  NSDate* releaseDue_;
  BOOL secondAsked_;
  BOOL holdNext_;  // the next alert is left open for the plan's hold time
  BOOL holding_;
  int alertShots_;
  // The modal window being answered, with its texts, until it goes.
  NSWindow* answering_;
  NSString* answeringTexts_;
  NSDate* answeredAt_;
}
- (id)initWithPlan:(DriverPlan*)plan;
- (void)enter:(Step)step;
- (void)start;
- (void)press:(NSString*)choice on:(NSWindow*)modal;
@end

@implementation KorvidUserDriver

// The runtime calls this while it is still loading the bundle's other
// classes: only a note to start once the application has launched.
+ (void)load {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  [[NSNotificationCenter defaultCenter] addObserver:self
                                           selector:@selector(applicationDidFinishLaunching:)
                                               name:NSApplicationDidFinishLaunchingNotification
                                             object:nil];
  [pool release];
}

+ (void)applicationDidFinishLaunching:(NSNotification*)notification {
  (void)notification;
  DriverPlan* plan = [DriverPlan planFromEnvironment];
  if (plan == nil) return;
  KorvidUserDriver* driver = [[KorvidUserDriver alloc] initWithPlan:plan];  // lives as long as the process
  [driver start];
}

- (id)initWithPlan:(DriverPlan*)plan {
  if ((self = [super init]) != nil) {
    plan_ = [plan retain];
    record_ = [[DriverRecord alloc] initWithDirectory:plan->outDir];
    seenVersion_ = nil;
    seenUpdate_ = -1;
    seenProgress_ = -1;
    [self enter:StepWaitWindow];
    [record_ event:@"driver" text:@"loaded"];
  }
  return self;
}

- (void)start {
  [record_ event:@"launched" text:[[NSProcessInfo processInfo] processName]];
  timer_ = [[NSTimer timerWithTimeInterval:plan_->lookSeconds
                                    target:self
                                  selector:@selector(look:)
                                  userInfo:nil
                                   repeats:YES] retain];
  NSRunLoop* loop = [NSRunLoop currentRunLoop];
  [loop addTimer:timer_ forMode:NSDefaultRunLoopMode];
  [loop addTimer:timer_ forMode:NSModalPanelRunLoopMode];
  [loop addTimer:timer_ forMode:NSEventTrackingRunLoopMode];
}

- (void)enter:(Step)step {
  step_ = step;
  [stepStarted_ release];
  stepStarted_ = [[NSDate date] retain];
  stuckReported_ = NO;
}

- (void)stuckIf:(double)bound because:(NSString*)reason {
  if (stuckReported_ || SecondsSince(stepStarted_) < bound) return;
  stuckReported_ = YES;
  [record_ event:@"stuck" text:reason];
}

- (void)shot:(NSString*)name {
  if (!plan_->screenshots) return;
  // What is on screen must be what the application last drew.
  NSEnumerator* windows = [[NSApp windows] objectEnumerator];
  NSWindow* window;
  while ((window = [windows nextObject]) != nil)
    if ([window isVisible]) {
      [window displayIfNeeded];
      [window flushWindow];
    }
  [record_ screenshot:name within:plan_->stepSeconds];
}

// Writes down what changed in the main window.
- (void)watch:(NSWindow*)window {
  NSTextField* field = ValueFieldOf(window);
  NSString* version = field != nil ? [field stringValue] : @"";
  if (seenVersion_ == nil || ![version isEqualToString:seenVersion_]) {
    [record_ event:@"version" text:version];
    [seenVersion_ release];
    seenVersion_ = [version copy];
  }
  NSButton* update = ButtonTitled(window, @"Update");
  const int enabled = update != nil && [update isEnabled] ? 1 : 0;
  if (enabled != seenUpdate_) {
    [record_ event:@"update" text:enabled ? @"enabled" : @"disabled"];
    seenUpdate_ = enabled;
  }
  if (helpDue_ != nil && [helpDue_ timeIntervalSinceNow] <= 0) {
    [helpDue_ release];
    helpDue_ = nil;
    holdNext_ = plan_->holdHelpSeconds > 0;
    NSString* chosen = ChooseMenuItem(@"Help");  // the help alert runs inside the choice
    [record_ event:@"menu" text:chosen != nil ? chosen : @"(no Help menu item)"];
    releaseDue_ = [[NSDate dateWithTimeIntervalSinceNow:kHeldAroundHelpSeconds] retain];
  }
  if (releaseDue_ != nil && [releaseDue_ timeIntervalSinceNow] <= 0) {
    [releaseDue_ release];
    releaseDue_ = nil;
    [record_ ask:@"release-controller" within:plan_->stepSeconds];
  }
  NSProgressIndicator* bar = ProgressBarOf(window);
  const int progress = bar != nil ? static_cast<int>([bar doubleValue]) : -1;
  if (progress != seenProgress_) {
    [record_ event:@"progress" text:[NSString stringWithFormat:@"%d", progress]];
    seenProgress_ = progress;
    if (!transferShot_ && progress >= 30 && progress <= 70) {
      transferShot_ = YES;
      [self shot:@"transfer"];
    }
    // Mid-transfer, as the plan says: another controller is plugged in (the
    // script does it while the application waits), or the user opens Help.
    const BOOL midTransfer = progress < 100;
    if (plan_->secondAtProgress >= 0 && !secondAsked_ && midTransfer && progress >= plan_->secondAtProgress) {
      secondAsked_ = YES;
      [record_ ask:@"second-controller" within:plan_->stepSeconds];
    }
    if (plan_->helpAtProgress >= 0 && !helpAsked_ && midTransfer && progress >= plan_->helpAtProgress) {
      // The controller is held still from a while before Help comes up to a
      // while after it went: the application is waiting on it, its silence
      // counted, and nothing of it can reach the application before the
      // application's clock has ticked after the help alert.
      helpAsked_ = YES;
      [record_ ask:@"hold-controller" within:plan_->stepSeconds];
      helpDue_ = [[NSDate dateWithTimeIntervalSinceNow:kHeldAroundHelpSeconds] retain];
    }
    // Out of sight, the bar is not redrawn: how the transfer goes without redraws.
    if (plan_->miniaturize && !miniaturized_ && progress > 0) {
      miniaturized_ = YES;
      [record_ event:@"miniaturize" text:[window title]];
      [window miniaturize:nil];
    }
  }
}

- (void)chooseInPanel:(NSSavePanel*)panel {
  [record_ event:@"panel"
            text:[NSString stringWithFormat:@"%@ directory=%@", NSStringFromClass([panel class]), [panel directory]]];
  if (plan_->cancelFile) {
    [self enter:StepWatch];
    NSButton* cancel = ButtonTitled(panel, @"Cancel");
    [record_ event:@"press" text:@"Cancel"];
    if (cancel != nil)
      Press(cancel);
    else
      [panel cancel:nil];
    return;
  }
  NSBrowser* browser = [ViewsOfClass([panel contentView], [NSBrowser class]) lastObject];
  if (browser == nil || ![browser setPath:plan_->firmware]) {
    [record_ event:@"stuck" text:[NSString stringWithFormat:@"cannot choose %@ in the open panel", plan_->firmware]];
    return;
  }
  [record_ event:@"choose" text:plan_->firmware];
  [self enter:StepWaitSheet];
  NSButton* ok = ButtonTitled(panel, @"OK");
  if (ok == nil) ok = ButtonTitled(panel, @"Open");
  [record_ event:@"press" text:ok != nil ? [ok title] : @"(panel ok:)"];
  if (ok != nil)
    Press(ok);
  else
    [panel ok:nil];
}

- (void)answer:(NSWindow*)modal {
  NSString* message = nil;
  NSString* informative = nil;
  ReadAlertTexts(modal, &message, &informative);
  NSString* texts = [NSString stringWithFormat:@"%@\t%@", message, informative];
  if (modal == answering_ && [texts isEqualToString:answeringTexts_]) {
    if (holding_) {
      const double held = SecondsSince(answeredAt_);
      if (held < plan_->holdHelpSeconds) return;
      holding_ = NO;
      [record_ event:@"held" text:[NSString stringWithFormat:@"%.0f ms", std::floor(held * 1000)]];
      [answeredAt_ release];
      answeredAt_ = [[NSDate date] retain];
      [self press:@"OK" on:modal];
      return;
    }
    if (SecondsSince(answeredAt_) > plan_->stepSeconds && !stuckReported_) {
      stuckReported_ = YES;
      [record_ event:@"stuck" text:@"the answered window does not close"];
    }
    return;
  }
  [answering_ release];
  answering_ = [modal retain];
  [answeringTexts_ release];
  answeringTexts_ = [texts retain];
  [answeredAt_ release];
  answeredAt_ = [[NSDate date] retain];

  if ([modal isKindOfClass:[NSSavePanel class]]) {
    [self chooseInPanel:(NSSavePanel*)modal];
    return;
  }
  NSWindow* main = ShownMainWindow();
  const BOOL sheet = main != nil && [main attachedSheet] == modal;
  [record_ event:sheet ? @"sheet" : @"alert" text:texts];
  [record_ event:@"buttons" text:ButtonTitles(modal)];
  [record_ message:message informative:informative];
  if (sheet)
    [self shot:@"sheet"];
  else
    [self shot:[NSString stringWithFormat:@"alert-%d", ++alertShots_]];

  NSString* choice = @"OK";
  if (sheet && plan_->cancelConfirm) choice = @"Cancel";
  // After the sheet, or an alert instead of the panel or the sheet, the
  // user has nothing more to do.
  if (step_ == StepWaitPanel || step_ == StepWaitSheet) [self enter:StepWatch];
  if (holdNext_ && !sheet) {  // left open a while, then answered
    holdNext_ = NO;
    holding_ = YES;
    [record_ event:@"hold" text:[NSString stringWithFormat:@"%g s", plan_->holdHelpSeconds]];
    [answeredAt_ release];
    answeredAt_ = [[NSDate date] retain];
    return;
  }
  [self press:choice on:modal];
}

- (void)press:(NSString*)choice on:(NSWindow*)modal {
  NSButton* button = ButtonTitled(modal, choice);
  if (button == nil) {
    [record_ event:@"stuck" text:[NSString stringWithFormat:@"no %@ button", choice]];
    return;
  }
  [record_ event:@"press" text:choice];
  Press(button);
}

- (void)look:(NSTimer*)timer {
  (void)timer;
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  NSWindow* main = ShownMainWindow();
  if (main != nil) {
    if (step_ == StepWaitWindow) {
      [record_ event:@"window" text:[main title]];
      [record_ event:@"buttons" text:ButtonTitles(main)];
      [self enter:plan_->mode == PlanUpdate ? StepWaitReady : (plan_->mode == PlanHelp ? StepAskHelp : StepWatch)];
    }
    [self watch:main];
  }
  NSWindow* modal = [NSApp modalWindow];
  if (modal != nil) {
    [self answer:modal];
  } else if (answering_ != nil) {
    [answering_ release];
    answering_ = nil;
  } else {
    switch (step_) {
      case StepWaitWindow:
        [self stuckIf:plan_->readySeconds because:@"no window on screen"];
        break;
      case StepWaitReady:
        if (main != nil && seenUpdate_ == 1 && [seenVersion_ length] > 0) {
          [self shot:@"window"];
          [self enter:StepWaitPanel];
          [record_ event:@"press" text:@"Update"];
          Press(ButtonTitled(main, @"Update"));
        } else {
          [self stuckIf:plan_->readySeconds because:@"no controller became usable"];
        }
        break;
      case StepWaitPanel:
        [self stuckIf:plan_->stepSeconds because:@"no open panel after Update"];
        break;
      case StepWaitSheet:
        [self stuckIf:plan_->stepSeconds because:@"no confirmation after choosing the file"];
        break;
      case StepAskHelp: {
        // The help alert runs inside the choice: the step is over before it.
        step_ = StepWatch;
        NSString* chosen = ChooseMenuItem(@"Help");
        if (chosen != nil) {
          [record_ event:@"menu" text:chosen];
        } else {
          step_ = StepAskHelp;  // the menu may come later; the step's clock keeps running
          [self stuckIf:plan_->stepSeconds because:@"no Help menu item"];
        }
        break;
      }
      case StepWatch:
        break;
    }
  }
  [pool release];
}

@end
