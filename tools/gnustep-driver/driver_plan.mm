#import "driver_plan.h"

#include <cstdio>
#include <cstdlib>

namespace {

NSString* Variable(NSDictionary* environment, NSString* name, NSString* fallback) {
  NSString* value = [environment objectForKey:name];
  return [value length] > 0 ? value : fallback;
}

int Percent(NSDictionary* environment, NSString* name) {
  NSString* value = [environment objectForKey:name];
  return [value length] > 0 ? [value intValue] : -1;
}

double Seconds(NSDictionary* environment, NSString* name, double fallback) {
  NSString* value = [environment objectForKey:name];
  const double seconds = [value length] > 0 ? [value doubleValue] : fallback;
  return seconds > 0 ? seconds : fallback;
}

}  // namespace

@implementation DriverPlan

+ (DriverPlan*)planFromEnvironment {
  NSDictionary* environment = [[NSProcessInfo processInfo] environment];
  NSString* outDir = Variable(environment, @"KORVID_DRIVER_OUT", nil);
  if (outDir == nil) {
    std::fprintf(stderr, "korvid driver: KORVID_DRIVER_OUT is not set; the driver stays idle\n");
    return nil;
  }
  DriverPlan* plan = [[[DriverPlan alloc] init] autorelease];
  plan->outDir = [outDir retain];
  NSString* mode = Variable(environment, @"KORVID_DRIVER_MODE", @"update");
  if ([mode isEqualToString:@"help"])
    plan->mode = PlanHelp;
  else if ([mode isEqualToString:@"watch"])
    plan->mode = PlanWatch;
  else
    plan->mode = PlanUpdate;
  plan->firmware = [Variable(environment, @"KORVID_DRIVER_FIRMWARE", @"") retain];
  plan->cancelFile = [Variable(environment, @"KORVID_DRIVER_FILE", @"choose") isEqualToString:@"cancel"];
  plan->cancelConfirm = [Variable(environment, @"KORVID_DRIVER_CONFIRM", @"ok") isEqualToString:@"cancel"];
  plan->screenshots = [Variable(environment, @"KORVID_DRIVER_SHOTS", @"0") isEqualToString:@"1"];
  plan->readySeconds = Seconds(environment, @"KORVID_DRIVER_READY_S", 10);
  plan->stepSeconds = Seconds(environment, @"KORVID_DRIVER_STEP_S", 5);
  plan->lookSeconds = Seconds(environment, @"KORVID_DRIVER_LOOK_MS", 5) / 1000.0;
  plan->miniaturize = [Variable(environment, @"KORVID_DRIVER_MINIATURIZE", @"0") isEqualToString:@"1"];
  plan->helpAtProgress = Percent(environment, @"KORVID_DRIVER_HELP_AT");
  plan->holdHelpSeconds = [Variable(environment, @"KORVID_DRIVER_HOLD_HELP_S", @"0") doubleValue];
  plan->secondAtProgress = Percent(environment, @"KORVID_DRIVER_SECOND_AT");
  return plan;
}

- (void)dealloc {
  [outDir release];
  [firmware release];
  [super dealloc];
}

@end
