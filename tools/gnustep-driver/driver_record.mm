#import "driver_record.h"

#include <unistd.h>

NSString* OneLine(NSString* text) {
  NSMutableString* line = [NSMutableString stringWithString:(text != nil ? text : @"")];
  [line replaceOccurrencesOfString:@"\r" withString:@"\\r" options:0 range:NSMakeRange(0, [line length])];
  [line replaceOccurrencesOfString:@"\n" withString:@"\\n" options:0 range:NSMakeRange(0, [line length])];
  [line replaceOccurrencesOfString:@"\t" withString:@"\\t" options:0 range:NSMakeRange(0, [line length])];
  return line;
}

namespace {

std::FILE* OpenForAppending(NSString* directory, NSString* name) {
  NSString* path = [directory stringByAppendingPathComponent:name];
  std::FILE* file = std::fopen([path fileSystemRepresentation], "a");
  if (file == nullptr) std::fprintf(stderr, "korvid driver: cannot write %s\n", [path UTF8String]);
  return file;
}

void WriteLine(std::FILE* file, NSString* line) {
  if (file == nullptr) return;
  std::fputs([line UTF8String], file);
  std::fputc('\n', file);
  std::fflush(file);
}

}  // namespace

@implementation DriverRecord

- (id)initWithDirectory:(NSString*)directory {
  if ((self = [super init]) != nil) {
    directory_ = [directory retain];
    [[NSFileManager defaultManager] createDirectoryAtPath:directory
                              withIntermediateDirectories:YES
                                               attributes:nil
                                                    error:NULL];
    events_ = OpenForAppending(directory, @"events.log");
    messages_ = OpenForAppending(directory, @"messages.txt");
    start_ = [[NSDate date] retain];
  }
  return self;
}

- (void)dealloc {
  if (events_ != nullptr) std::fclose(events_);
  if (messages_ != nullptr) std::fclose(messages_);
  [directory_ release];
  [start_ release];
  [super dealloc];
}

- (double)elapsedMs {
  return -[start_ timeIntervalSinceNow] * 1000.0;
}

- (void)event:(NSString*)kind text:(NSString*)text {
  WriteLine(events_, [NSString stringWithFormat:@"%.0f %@: %@", [self elapsedMs], kind, OneLine(text)]);
}

- (void)message:(NSString*)message informative:(NSString*)informative {
  WriteLine(messages_, [NSString stringWithFormat:@"%@\t%@", OneLine(message), OneLine(informative)]);
}

- (BOOL)request:(NSString*)text as:(NSString*)base within:(double)seconds {
  NSString* request = [base stringByAppendingString:@".request"];
  NSString* done = [base stringByAppendingString:@".done"];
  // Written under another name first: the script must never read half a request.
  NSString* partial = [base stringByAppendingString:@".partial"];
  [text writeToFile:partial atomically:NO encoding:NSUTF8StringEncoding error:NULL];
  rename([partial fileSystemRepresentation], [request fileSystemRepresentation]);
  NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:seconds];
  while ([deadline timeIntervalSinceNow] > 0) {
    if (access([done fileSystemRepresentation], F_OK) == 0) return YES;
    usleep(10000);
  }
  return NO;
}

- (BOOL)screenshot:(NSString*)name within:(double)seconds {
  ++shots_;
  NSString* base = [directory_ stringByAppendingPathComponent:[NSString stringWithFormat:@"shot-%d", shots_]];
  const BOOL taken = [self request:name as:base within:seconds];
  [self event:taken ? @"shot" : @"shot-missed" text:name];
  return taken;
}

- (BOOL)ask:(NSString*)what within:(double)seconds {
  ++asks_;
  NSString* base = [directory_ stringByAppendingPathComponent:[NSString stringWithFormat:@"ask-%d", asks_]];
  [self event:@"ask" text:what];
  const BOOL done = [self request:what as:base within:seconds];
  [self event:done ? @"asked" : @"ask-missed" text:what];
  return done;
}

@end
