// What the log line of a run needs from the system, one file per system
// (log_line_posix.cpp, log_line_windows.cpp); AppendLine (run_record.h)
// is there too.
#pragma once

#include <string>

// The time now, "2026-12-09T06:30:00Z".
std::string UtcNow();
// This computer's name, "" when the system gives none.
std::string HostName();
