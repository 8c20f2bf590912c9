#include "access_advice.h"

#ifndef KORVID_UDEV_RULE_PATH
#define KORVID_UDEV_RULE_PATH "/usr/lib/udev/rules.d/70-korvid-controllers.rules"
#endif
#ifndef KORVID_GROUP_RULE_PATH
#define KORVID_GROUP_RULE_PATH "/usr/share/korvid-update/71-korvid-controllers-plugdev.rules"
#endif

namespace hiddevice {

namespace {

// The rule that gives the user logged in at the seat access, as installed,
// and the group rule for benches and remote sessions, shipped but not
// installed.
std::string UdevRulePath() { return KORVID_UDEV_RULE_PATH; }
std::string GroupRulePath() { return KORVID_GROUP_RULE_PATH; }

}  // namespace

std::string AccessSummary() {
  return "Access to controllers in BOOT mode comes from the udev rule\n  " + UdevRulePath() +
         "\nfor the user at the seat; on a bench without one, from the group rule\n  " + GroupRulePath() + "\n";
}

std::string AccessAdvice() {
  // The seat rule's access comes from logind, which grants it only to an
  // active local session: over SSH or on a headless bench the node stays
  // root's, and only a group rule helps.
  return "Controllers in BOOT mode are opened by the user logged in at the seat through the udev rule\n"
         "  " +
         UdevRulePath() +
         "\n"
         "If udev does not read it from there, copy it to /etc/udev/rules.d/. Then run\n"
         "  sudo udevadm control --reload\n"
         "and unplug the controller and plug it in again.\n"
         "That rule needs an active local session: not over SSH, not on a bench where no one is logged in.\n"
         "There, the members of the plugdev group may open controllers once the group rule is installed:\n"
         "  sudo cp " +
         GroupRulePath() +
         " /etc/udev/rules.d/\n"
         "  sudo udevadm control --reload\n"
         "  sudo udevadm trigger --subsystem-match=hidraw\n"
         "  sudo usermod -aG plugdev \"$USER\"    (then log in again)";
}

}  // namespace hiddevice
