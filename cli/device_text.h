// Text that came from a device (its name from the kernel or udev) made safe
// to show: a controller can name itself anything, escape sequences that
// would drive the user's terminal included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// For a terminal: control characters (C0, DEL, C1), bytes that are not
// UTF-8 and the backslash itself as \xNN, \u00NN or \\; everything else as
// it came.
std::string TerminalSafe(std::string_view text);
// A path the system gave (or the user typed) for a terminal: the same, but
// its backslashes as they are, so that a Windows interface path shown can
// be given back to --device.
std::string TerminalSafePath(std::string_view text);

// A JSON string literal, quotes included; bytes that are not UTF-8 become
// U+FFFD, so that the output stays valid JSON whatever the device sent.
std::string JsonString(std::string_view text);
// The same, or null for empty text (a serial or port the device lacks) or
// for nothing.
std::string JsonStringOrNull(const std::string& text);
std::string JsonStringOrNull(const std::optional<std::string>& text);

// A USB identifier as the JSON outputs give it: "0x2dc8".
std::string HexId(std::uint32_t value);
