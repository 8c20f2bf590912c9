// The event loop a program without a run loop of its own runs on, on this
// system: a wait on handles and the thread's messages.
#pragma once

#include "windows_event_loop.h"

namespace hiddevice {
using SystemEventLoop = WindowsEventLoop;
}  // namespace hiddevice
