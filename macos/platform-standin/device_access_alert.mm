#import "device_access_alert.h"

#import <AppKit/AppKit.h>

#include "access_advice.h"

void TellDeviceUnavailable(const hiddevice::DeviceProperties& properties, const std::string& reason) {
  NSString* details = [NSString stringWithFormat:@"%s: %s.\n\n%s", properties.path.c_str(), reason.c_str(),
                                                 hiddevice::AccessAdvice().c_str()];
  NSAlert* alert = [[[NSAlert alloc] init] autorelease];
  [alert setMessageText:@"Tindro cannot open the controller"];
  [alert setInformativeText:details];
  [alert addButtonWithTitle:@"OK"];
  // From the run loop's next turn, not from inside the device source.
  [alert performSelector:@selector(runModal) withObject:nil afterDelay:0];
}
