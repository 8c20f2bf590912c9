// Readable test parameters in failure messages ("Macos", "Fail24") instead of
// raw bytes.
#pragma once

#include <ostream>

#include "frontend.h"
#include "simulated_controller.h"

inline std::ostream& operator<<(std::ostream& out, Platform platform) {
  return out << (platform == Platform::Windows ? "Windows" : "Macos");
}

inline std::ostream& operator<<(std::ostream& out, FaultKind kind) { return out << FaultName(kind); }
