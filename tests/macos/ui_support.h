// What the GUI tests share: running the main run loop until something holds,
// answering the modal panels,
// alerts and sheets the application puts up the way a user would, and the
// application's own interface file loaded as at launch.
#pragma once

#import <AppKit/AppKit.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

@class ApplicationController;
@class JoystickController;
@class ModalWatcher;

// Runs the default run-loop mode until `done` holds, at most `seconds`.
bool RunUntil(const std::function<bool()>& done, double seconds = 5.0);
void RunFor(double seconds);

// A modal window the user saw: its kind and its texts.
struct SeenModal {
  std::string kind;  // "alert", "sheet" or "panel"
  std::string message;
  std::string informative;
};

// Answers the modal windows that come up, in order: each step acts on the
// modal window on screen and says whether it is done; a window that no step
// waits for is answered "OK". A window is recorded each time it comes on
// screen, by the window itself (not its address): two alerts alike are two
// records, a sheet that an alert covered for a while is one.
class ModalAnswers {
 public:
  using Step = std::function<bool(NSWindow* modal)>;
  ModalAnswers();
  ~ModalAnswers();
  ModalAnswers(const ModalAnswers&) = delete;
  ModalAnswers& operator=(const ModalAnswers&) = delete;

  ModalAnswers& Then(Step step);
  const std::vector<SeenModal>& Seen() const { return seen_; }
  bool Done() const { return steps_.empty(); }

  // From the watcher's timer.
  void Tick();

 private:
  std::deque<Step> steps_;
  std::vector<SeenModal> seen_;
  // Recorded and still on screen; kept alive meanwhile, so that no window
  // coming up later can be taken for one of them.
  NSMutableArray* onScreen_;
  ModalWatcher* watcher_;
};

// Steps.
ModalAnswers::Step Press(NSString* button);
// Waits for a modal window with this message text, then presses `button`.
ModalAnswers::Step PressOn(NSString* message, NSString* button);
// Picks `path` in the open panel and presses OK.
ModalAnswers::Step ChooseFile(const std::string& path);
// The same where the panel may not offer the file: then the user gives up
// (Cancel).
ModalAnswers::Step ChooseFileOrGiveUp(const std::string& path);
// Ends the sheet on screen with `code`, as an unexpected button would.
ModalAnswers::Step EndSheetWithCode(int code);
// Runs `action` while the modal window is up (say, unplugging the device).
ModalAnswers::Step While(std::function<void()> action);
// Waits for a modal window with this message text, then runs `action`.
ModalAnswers::Step WhileOn(NSString* message, std::function<void()> action);

// The application's interface, loaded from MainMenu.xib as at launch; gone
// with the object (the window controller's HID manager included).
class LoadedInterface {
 public:
  LoadedInterface();
  ~LoadedInterface();
  LoadedInterface(const LoadedInterface&) = delete;
  LoadedInterface& operator=(const LoadedInterface&) = delete;

  // What the platform does once launching is over: the delegate's turn.
  void FinishLaunching();

  ApplicationController* delegate = nil;
  JoystickController* controller = nil;
  NSWindow* window = nil;

 private:
  NSMutableArray* topLevel_;
};

// Views of a class under `root`, depth first.
NSArray* ViewsOfClass(NSView* root, Class cls);
NSButton* ButtonTitled(NSWindow* window, NSString* title);
void PressButton(NSButton* button);
std::string Utf8(NSString* text);
// The message text of an alert or sheet.
std::string MessageOf(NSWindow* modal);
