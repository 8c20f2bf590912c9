// What a HID report descriptor says about the reports a controller's update
// interface carries: one vendor-defined collection with unnumbered 64-byte
// input and output reports. The descriptor comes from the device, so it is
// read as untrusted input: every item is bounds-checked and no size it
// announces is believed beyond what fits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hiddevice {

struct ReportLayout {
  bool numbered = false;  // a Report ID item: the reports carry a number first
  // Bits of the reports of items inside vendor-defined collections (usage
  // page 0xFF00..0xFFFF), saturated far above any real report.
  std::uint64_t vendorInputBits = 0;
  std::uint64_t vendorOutputBits = 0;
  bool truncated = false;  // an item ran past the end; the items before it count
};

ReportLayout ParseReportDescriptor(const std::uint8_t* bytes, std::size_t size);

// The interface a Korvid controller is updated through: unnumbered 64-byte
// vendor reports both ways.
bool IsUpdateInterface(const ReportLayout& layout);

}  // namespace hiddevice
