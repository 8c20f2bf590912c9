// Linux: a controller whose device node the user may not open. IOKit has no
// such case (the HID manager opens what it matches), so the stand-in tells
// the user itself: which node, why, and the udev rule that gives access.
#pragma once

#include <string>

#include "device_source.h"

void TellDeviceUnavailable(const hiddevice::DeviceProperties& properties, const std::string& reason);
