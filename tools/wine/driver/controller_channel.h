// The emulated controller's control channel, as seen from inside Wine: the
// driver asks on its standard output ("control: COMMAND") and the script
// that started it, which holds the channel's Unix socket, answers one line
// on the driver's standard input.
#pragma once

#include <optional>
#include <string>

// The reply to `command`, or nothing when the script gave none (its end of
// the pipe closed).
std::optional<std::string> AskController(const std::string& command);
