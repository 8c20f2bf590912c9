#import "run_loop_event_loop.h"

#import <AppKit/AppKit.h>

namespace {
constexpr NSTimeInterval kResumeCheckInterval = 0.05;

void* AsEventData(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }
}  // namespace

@interface StandinRunLoopWatcher : NSObject <RunLoopEvents> {
 @public
  hiddevice::RunLoopEventLoop* owner;
}
@end

@implementation StandinRunLoopWatcher

- (void)receivedEvent:(void*)data type:(RunLoopEventType)type extra:(void*)extra forMode:(NSString*)mode {
  (void)type;
  (void)extra;
  if (owner != nullptr) owner->Readable(static_cast<int>(reinterpret_cast<intptr_t>(data)), mode);
}

- (void)sheetWillBegin:(NSNotification*)notification {
  if (owner != nullptr) owner->SheetBegan([notification object]);
}

- (void)sheetDidEnd:(NSNotification*)notification {
  if (owner != nullptr) owner->SheetEnded([notification object]);
}

- (void)timerFired:(NSTimer*)timer {
  if (owner != nullptr) owner->TimerFired(timer);
}

- (void)resumeCheck:(NSTimer*)timer {
  (void)timer;
  if (owner != nullptr) owner->ResumeCheck();
}

@end

namespace hiddevice {

RunLoopEventLoop::RunLoopEventLoop(NSRunLoop* runLoop, NSString* mode)
    : runLoop_([runLoop retain]),
      mode_([mode copy]),
      watcher_([[StandinRunLoopWatcher alloc] init]),
      sheetParents_([[NSMutableArray alloc] init]) {
  watcher_->owner = this;
  NSNotificationCenter* center = [NSNotificationCenter defaultCenter];
  [center addObserver:watcher_ selector:@selector(sheetWillBegin:) name:NSWindowWillBeginSheetNotification object:nil];
  [center addObserver:watcher_ selector:@selector(sheetDidEnd:) name:NSWindowDidEndSheetNotification object:nil];
}

RunLoopEventLoop::~RunLoopEventLoop() {
  watcher_->owner = nullptr;
  [[NSNotificationCenter defaultCenter] removeObserver:watcher_];
  [resumeTimer_ invalidate];
  for (auto& timer : timers_) [timer.first invalidate];
  timers_.clear();
  UnwatchInSheetMode();
  for (auto& handler : handlers_) {
    [runLoop_ removeEvent:AsEventData(handler.first) type:ET_RDESC forMode:mode_ all:YES];
  }
  handlers_.clear();
  [watcher_ release];
  [sheetParents_ release];
  [mode_ release];
  [runLoop_ release];
}

void RunLoopEventLoop::Watch(int fd, std::function<void()> onReadable) {
  if (handlers_.count(fd) == 0) {
    [runLoop_ addEvent:AsEventData(fd) type:ET_RDESC watcher:watcher_ forMode:mode_];
    if (watchingInSheetMode_) {
      [runLoop_ addEvent:AsEventData(fd) type:ET_RDESC watcher:watcher_ forMode:NSModalPanelRunLoopMode];
    }
  }
  handlers_[fd] = std::make_shared<std::function<void()>>(std::move(onReadable));
}

void RunLoopEventLoop::Unwatch(int fd) {
  if (handlers_.erase(fd) == 0) return;
  [runLoop_ removeEvent:AsEventData(fd) type:ET_RDESC forMode:mode_ all:YES];
  if (watchingInSheetMode_) {
    [runLoop_ removeEvent:AsEventData(fd) type:ET_RDESC forMode:NSModalPanelRunLoopMode all:YES];
  }
}

void RunLoopEventLoop::After(unsigned delayMs, std::function<void()> action) {
  NSTimer* timer = [NSTimer timerWithTimeInterval:delayMs / 1000.0
                                           target:watcher_
                                         selector:@selector(timerFired:)
                                         userInfo:nil
                                          repeats:NO];
  timers_[timer] = std::move(action);
  [runLoop_ addTimer:timer forMode:mode_];
}

void RunLoopEventLoop::TimerFired(NSTimer* timer) {
  const auto found = timers_.find(timer);
  if (found == timers_.end()) return;
  const std::function<void()> action = std::move(found->second);
  timers_.erase(found);
  action();
}

void RunLoopEventLoop::Readable(int fd, NSString* mode) {
  if (![mode isEqualToString:mode_] && !SheetIsModalWindow()) {
    // An alert or panel runs on top of the sheet: hold back, as for any
    // application-modal session, until the sheet is the modal window again.
    UnwatchInSheetMode();
    if (resumeTimer_ == nil) {
      resumeTimer_ = [NSTimer timerWithTimeInterval:kResumeCheckInterval
                                             target:watcher_
                                           selector:@selector(resumeCheck:)
                                           userInfo:nil
                                            repeats:YES];
      [runLoop_ addTimer:resumeTimer_ forMode:NSModalPanelRunLoopMode];
    }
    return;
  }
  const auto found = handlers_.find(fd);
  if (found == handlers_.end()) return;
  // The handler may unwatch its own descriptor.
  const std::shared_ptr<std::function<void()>> handler = found->second;
  (*handler)();
}

void RunLoopEventLoop::SheetBegan(NSWindow* parent) {
  [sheetParents_ addObject:parent];
  WatchInSheetMode();
}

void RunLoopEventLoop::SheetEnded(NSWindow* parent) {
  const NSUInteger index = [sheetParents_ indexOfObjectIdenticalTo:parent];
  if (index != NSNotFound) [sheetParents_ removeObjectAtIndex:index];
  if ([sheetParents_ count] != 0) return;
  UnwatchInSheetMode();
  [resumeTimer_ invalidate];
  resumeTimer_ = nil;
}

void RunLoopEventLoop::ResumeCheck() {
  if ([sheetParents_ count] != 0 && !SheetIsModalWindow()) return;
  [resumeTimer_ invalidate];
  resumeTimer_ = nil;
  if ([sheetParents_ count] != 0) WatchInSheetMode();
}

bool RunLoopEventLoop::SheetIsModalWindow() const {
  NSWindow* modal = [NSApp modalWindow];
  if (modal == nil) return false;
  for (NSUInteger i = 0; i < [sheetParents_ count]; ++i) {
    if ([[sheetParents_ objectAtIndex:i] attachedSheet] == modal) return true;
  }
  return false;
}

void RunLoopEventLoop::WatchInSheetMode() {
  if (watchingInSheetMode_) return;
  watchingInSheetMode_ = true;
  for (auto& handler : handlers_) {
    [runLoop_ addEvent:AsEventData(handler.first) type:ET_RDESC watcher:watcher_ forMode:NSModalPanelRunLoopMode];
  }
}

void RunLoopEventLoop::UnwatchInSheetMode() {
  if (!watchingInSheetMode_) return;
  watchingInSheetMode_ = false;
  for (auto& handler : handlers_) {
    [runLoop_ removeEvent:AsEventData(handler.first) type:ET_RDESC forMode:NSModalPanelRunLoopMode all:YES];
  }
}

}  // namespace hiddevice
