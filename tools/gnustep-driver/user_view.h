// What a user sees of a GNUstep application and what a user does to it:
// windows on screen, the buttons, fields and bars in them, the texts of an
// alert, menu items. Nothing here reaches behind the widgets.
#pragma once

#import <AppKit/AppKit.h>

// Every view of `cls` under `root`, depth first, in subview order.
NSArray* ViewsOfClass(NSView* root, Class cls);

// The application's own window on screen: visible, not a panel or a menu.
NSWindow* ShownMainWindow(void);

// The button whose title is `title` (exact, then ignoring case), or nil.
NSButton* ButtonTitled(NSWindow* window, NSString* title);
// The titles of the window's buttons, in order, for the record.
NSString* ButtonTitles(NSWindow* window);

// The first determinate progress indicator of the window, or nil.
NSProgressIndicator* ProgressBarOf(NSWindow* window);

// The field that shows a value rather than a label: the first text field
// with a bezel or a border; nil when there is none.
NSTextField* ValueFieldOf(NSWindow* window);

// The texts of an alert or sheet as shown: the message text (the upper
// field) and the informative text (the fields below it, joined).
void ReadAlertTexts(NSWindow* alert, NSString** message, NSString** informative);

// Presses as a click would, without the 0.1 s of default-mode run loop that
// -performClick: spends here: the button's action to its target, then an
// event so that a modal loop the action stopped notices at once.
void Press(NSButton* button);
void NudgeEventLoop(void);

// Chooses the leaf menu item whose title contains `part` and returns its
// title; nil when there is none.
NSString* ChooseMenuItem(NSString* part);
