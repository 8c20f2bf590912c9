// What the driver is to do as the user, from the environment that
// scripts/e2e-macos.sh sets for the application it starts.
#pragma once

#import <Foundation/Foundation.h>

typedef enum {
  PlanUpdate,  // wait for a controller, press Update, choose, confirm, watch
  PlanHelp,    // ask for the help text from the menu
  PlanWatch,   // only look: answer whatever alert shows
} PlanMode;

@interface DriverPlan : NSObject {
 @public
  PlanMode mode;
  NSString* outDir;        // where the record goes and screenshots are asked for
  NSString* firmware;      // the file to choose in the open panel
  BOOL cancelFile;         // Cancel in the open panel
  BOOL cancelConfirm;      // Cancel on the confirmation sheet
  BOOL screenshots;        // ask the script for screenshots
  double readySeconds;     // bound on the wait for a controller to be usable
  double stepSeconds;      // bound on every other wait
  double lookSeconds;      // how often the user looks at the screen
  BOOL miniaturize;        // puts the window in the dock once the transfer runs
  int helpAtProgress;      // opens Help once the bar shows this much (-1: never)
  double holdHelpSeconds;  // how long the user leaves the help alert open
  int secondAtProgress;    // asks for a second controller once the bar shows this much (-1: never)
}
// Nil, with the reason on standard error, when the driver is not asked for.
+ (DriverPlan*)planFromEnvironment;
@end
