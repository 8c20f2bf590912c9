// What the system tells of its HID interfaces, for the Windows device
// source: the interfaces present (SetupDi over the HID interface class),
// where each hangs, and what an open handle says of itself.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hiddevice {

struct HidInterfaceEntry {
  std::wstring path;  // the interface's path, to open
  // The physical port as the system names it: the location paths of the
  // device or of its nearest parent that has them, else its location
  // information; "" when neither is known.
  std::string port;
};

std::vector<HidInterfaceEntry> ListHidInterfaces();

// Opened for overlapped reads, writes or neither (`access` 0: attributes only).
HANDLE OpenHidInterface(const std::wstring& path, DWORD access);

struct HidAttributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};
std::optional<HidAttributes> ReadAttributes(HANDLE device);

// The strings the device gives, in UTF-8; "" when it gives none.
std::string ProductString(HANDLE device);
std::string SerialString(HANDLE device);

// The top collection's usage page and its reports' lengths with the report
// ID byte, as the device's report descriptor gives them.
struct HidReportLengths {
  std::uint16_t usagePage = 0;
  std::size_t input = 0;
  std::size_t output = 0;
};
std::optional<HidReportLengths> ReadReportLengths(HANDLE device);

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);
// Two spellings of one interface's path: the system's notices upper-case
// part of it.
bool SamePath(const std::wstring& a, const std::wstring& b);

}  // namespace hiddevice
