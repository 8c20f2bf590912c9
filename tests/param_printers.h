// Readable test parameters in test names and failure messages ("Macos",
// "Fail24") instead of raw bytes.
#pragma once

#include <ostream>
#include <string>

#include "frontend.h"
#include "simulated_controller.h"

inline std::string PlatformName(Platform platform) { return platform == Platform::Macos ? "Macos" : "Windows"; }

inline std::ostream& operator<<(std::ostream& out, Platform platform) { return out << PlatformName(platform); }

inline std::ostream& operator<<(std::ostream& out, FaultKind kind) { return out << FaultName(kind); }
