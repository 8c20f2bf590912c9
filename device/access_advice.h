// What a program tells a user who may not open a controller's device node.
// One file per system: access_advice.cpp (udev), access_advice_windows.cpp.
#pragma once

#include <string>

namespace hiddevice {

// How this system gives access to controllers, for a program's help: a
// few lines, each ending in a newline.
std::string AccessSummary();

// Several lines on what keeps the user from a controller and what to do. On
// Linux: which rule gives access, where it is, how to make udev take it
// (reload, then plug the controller in again); that it needs an active
// local session, and the group rule and its steps where there is none.
std::string AccessAdvice();

}  // namespace hiddevice
