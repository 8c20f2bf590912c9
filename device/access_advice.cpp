#include "access_advice.h"

#ifndef KORVID_UDEV_RULE_PATH
#define KORVID_UDEV_RULE_PATH "/usr/lib/udev/rules.d/70-korvid-controllers.rules"
#endif

namespace hiddevice {

std::string UdevRulePath() { return KORVID_UDEV_RULE_PATH; }

std::string AccessAdvice() {
  return "Controllers in BOOT mode are opened by the logged-in user through the udev rule\n"
         "  " +
         UdevRulePath() +
         "\n"
         "If udev does not read it from there, copy it to /etc/udev/rules.d/. Then run\n"
         "  sudo udevadm control --reload\n"
         "and unplug the controller and plug it in again.";
}

}  // namespace hiddevice
