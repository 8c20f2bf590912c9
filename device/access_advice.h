// What a program tells a user who may not open a controller's device node.
#pragma once

#include <string>

namespace hiddevice {

// The udev rule that gives the user logged in at the seat access to
// controllers in BOOT mode, as installed.
std::string UdevRulePath();
// The group rule for benches and remote sessions, shipped but not installed.
std::string GroupRulePath();

// Several lines: which rule gives access, where it is, how to make udev
// take it (reload, then plug the controller in again); that it needs an
// active local session, and the group rule and its steps where there is none.
std::string AccessAdvice();

}  // namespace hiddevice
