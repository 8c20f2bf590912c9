// What the user saw and did, written as it happens so that a run that
// stops half-way still tells where it stopped:
//   events.log    "<ms since start> <kind>: <text>" per line
//   messages.txt  every alert and sheet, in order: message text, a tab,
//                 informative text (CR, LF and tab written as \r, \n, \t)
// and the screenshots and other things it asks the script for:
// "shot-<n>.request" holds the shot's name, "ask-<n>.request" what else is
// to happen (say, "second-controller"); the script answers with
// "shot-<n>.done" or "ask-<n>.done" once it is done.
#pragma once

#import <Foundation/Foundation.h>

#include <cstdio>

@interface DriverRecord : NSObject {
  NSString* directory_;
  std::FILE* events_;
  std::FILE* messages_;
  NSDate* start_;
  int shots_;
  int asks_;
}
- (id)initWithDirectory:(NSString*)directory;
- (void)event:(NSString*)kind text:(NSString*)text;
- (void)message:(NSString*)message informative:(NSString*)informative;
// Blocks the application until the script has taken the shot, at most
// `seconds`; NO when it did not answer in time.
- (BOOL)screenshot:(NSString*)name within:(double)seconds;
// The same for something else the script does while the application waits.
- (BOOL)ask:(NSString*)what within:(double)seconds;
- (double)elapsedMs;
@end

// The text on one line: CR, LF and tab as \r, \n, \t.
NSString* OneLine(NSString* text);
