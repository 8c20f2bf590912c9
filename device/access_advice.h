// What a program tells a user who may not open a controller's device node.
#pragma once

#include <string>

namespace hiddevice {

// The udev rule that gives the logged-in user access to controllers in BOOT
// mode, as installed.
std::string UdevRulePath();

// Several lines: which rule gives access, where it is, how to make udev
// take it (reload, then plug the controller in again).
std::string AccessAdvice();

}  // namespace hiddevice
