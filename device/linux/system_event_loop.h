// The event loop a program without a run loop of its own runs on, on this
// system: poll(2) over descriptors.
#pragma once

#include "poll_event_loop.h"

namespace hiddevice {
using SystemEventLoop = PollEventLoop;
}  // namespace hiddevice
