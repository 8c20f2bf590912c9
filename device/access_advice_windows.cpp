#include "access_advice.h"

namespace hiddevice {

// Every user may open a game controller's HID interface on Windows; what
// keeps one from it is another program holding it open without sharing.
std::string AccessSummary() {
  return "Any user may open a controller in BOOT mode; one that another program holds\n"
         "open is listed as unavailable until that program lets it go.\n";
}

std::string AccessAdvice() {
  return "Another program holds the controller open: close the programs that use game controllers,\n"
         "then unplug the controller and plug it in again.";
}

}  // namespace hiddevice
