// How a simulated HID device is reached over a Windows named pipe: the
// contract between the controller server's named-pipe link and the stand-in
// hid.dll and setupapi.dll that update.exe runs against under Wine.
//
//   * Every device is a named pipe whose path carries its identifiers the way
//     a HID interface path does: \\.\pipe\hid#vid_2DC8&pid_5750#<name>.
//     hid.dll's HidD_GetAttributes reads them back from the pipe's name.
//   * Wine cannot list pipes, so an attached device is announced by a string
//     value under HKCU\Software\Korvid\Simulated HID devices: the value's name
//     is the device's name, its data the device path. The value exists while
//     the device is attached. setupapi.dll lists the announced devices in the
//     order of their names.
//   * One client handle takes one pipe instance. Every input report goes to
//     every connected handle as 65 bytes: report ID 0, then the 64 report
//     bytes. Every output report arrives as one 65-byte message, laid out the
//     same way.
//   * The server's control channel is the pipe \\.\pipe\korvid-sim-control#<name>:
//     one command line in, one reply line out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

namespace pipehid {

constexpr wchar_t kAnnouncementKey[] = L"Software\\Korvid\\Simulated HID devices";
constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
constexpr std::size_t kReportIdBytes = 1;
constexpr std::size_t kWireReportBytes = 65;  // report ID + 64

inline std::wstring HexWord(uint16_t value) {
  wchar_t text[8];
  std::swprintf(text, 8, L"%04X", static_cast<unsigned>(value));
  return text;
}

inline std::wstring DevicePath(const std::wstring& name, uint16_t vendorId, uint16_t productId) {
  return std::wstring(kPipePrefix) + L"hid#vid_" + HexWord(vendorId) + L"&pid_" + HexWord(productId) + L"#" + name;
}

inline std::wstring ControlPath(const std::wstring& name) {
  return std::wstring(kPipePrefix) + L"korvid-sim-control#" + name;
}

namespace detail {

inline wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

inline int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  c = Lower(c);
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// The four hex digits after the first "<tag>" (case-insensitive) in text.
inline bool FindField(const wchar_t* text, std::size_t length, const wchar_t* tag, uint16_t& value) {
  const std::size_t tagLength = std::wcslen(tag);
  for (std::size_t at = 0; at + tagLength + 4 <= length; ++at) {
    std::size_t i = 0;
    while (i < tagLength && Lower(text[at + i]) == tag[i]) ++i;
    if (i != tagLength) continue;
    unsigned parsed = 0;
    for (std::size_t d = 0; d < 4; ++d) {
      const int digit = HexDigit(text[at + tagLength + d]);
      if (digit < 0) return false;
      parsed = parsed * 16 + static_cast<unsigned>(digit);
    }
    value = static_cast<uint16_t>(parsed);
    return true;
  }
  return false;
}

}  // namespace detail

// Vendor and product id from a device path or pipe name ("...vid_2DC8&pid_5750...").
inline bool ParseIdentity(const wchar_t* text, std::size_t length, uint16_t& vendorId, uint16_t& productId) {
  uint16_t vendor = 0;
  uint16_t product = 0;
  if (!detail::FindField(text, length, L"vid_", vendor) || !detail::FindField(text, length, L"pid_", product))
    return false;
  vendorId = vendor;
  productId = product;
  return true;
}

}  // namespace pipehid
