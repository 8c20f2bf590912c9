// A device source's event loop on GNUstep's NSRunLoop.
//
// Descriptors are watched in the mode the HID manager was scheduled for (the
// default mode), so an application-modal panel or alert holds every HID
// callback back until it closes, as IOKit does on macOS. GNUstep runs a
// window sheet as a nested modal loop, where macOS keeps default-mode
// callbacks going under a window-modal sheet; so while a sheet is up the
// descriptors are watched in the modal-panel mode as well, for as long as the
// sheet itself (not an alert run on top of it) is the modal window.
#pragma once

#import <Foundation/Foundation.h>

#include <map>
#include <memory>
#include <set>

#include "device_source.h"

@class NSWindow;
@class StandinRunLoopWatcher;

namespace hiddevice {

class RunLoopEventLoop final : public EventLoop {
 public:
  RunLoopEventLoop(NSRunLoop* runLoop, NSString* mode);
  ~RunLoopEventLoop() override;
  RunLoopEventLoop(const RunLoopEventLoop&) = delete;
  RunLoopEventLoop& operator=(const RunLoopEventLoop&) = delete;

  void Watch(int fd, std::function<void()> onReadable) override;
  void Unwatch(int fd) override;
  void After(unsigned delayMs, std::function<void()> action) override;

  // From the watcher object.
  void Readable(int fd, NSString* mode);
  void SheetBegan(NSWindow* parent);
  void SheetEnded(NSWindow* parent);
  void TimerFired(NSTimer* timer);
  void ResumeCheck();

 private:
  bool SheetIsModalWindow() const;
  void WatchInSheetMode();
  void UnwatchInSheetMode();

  NSRunLoop* runLoop_;
  NSString* mode_;
  StandinRunLoopWatcher* watcher_;
  std::map<int, std::shared_ptr<std::function<void()>>> handlers_;
  std::map<NSTimer*, std::function<void()>> timers_;
  NSMutableArray* sheetParents_;  // windows with a sheet up, innermost last
  bool watchingInSheetMode_ = false;
  NSTimer* resumeTimer_ = nil;  // while an alert on top of a sheet holds delivery back
};

}  // namespace hiddevice
