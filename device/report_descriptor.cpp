#include "report_descriptor.h"

#include <algorithm>

namespace hiddevice {

namespace {

constexpr std::uint64_t kSaturatedBits = std::uint64_t{1} << 40;
// Deeper nesting than this is no controller's; what lies deeper is read
// as if it were at this depth.
constexpr int kMaxCollectionDepth = 32;
constexpr int kMaxPushDepth = 8;

struct Globals {
  std::uint32_t usagePage = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
};

bool VendorPage(std::uint32_t page) { return page >= 0xFF00 && page <= 0xFFFF; }

std::uint64_t AddBits(std::uint64_t total, std::uint32_t size, std::uint32_t count) {
  // Both are at most 32 bits wide: their product fits in 64.
  const std::uint64_t bits = static_cast<std::uint64_t>(size) * count;
  return std::min(kSaturatedBits, total + std::min(bits, kSaturatedBits));
}

}  // namespace

ReportLayout ParseReportDescriptor(const std::uint8_t* bytes, std::size_t size) {
  ReportLayout layout;
  if (bytes == nullptr) return layout;
  Globals globals;
  Globals pushed[kMaxPushDepth];
  int pushDepth = 0;
  bool vendorAt[kMaxCollectionDepth + 1] = {false};  // per open collection, from the outermost
  int depth = 0;
  std::uint32_t usage = 0;  // the last local usage, page in the upper half when given with it
  bool usageHasPage = false;

  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t prefix = bytes[at];
    if (prefix == 0xFE) {  // a long item: its size, its tag, its data; none is ours
      if (size - at < 3) {
        layout.truncated = true;
        break;
      }
      const std::size_t length = bytes[at + 1];
      if (size - at - 3 < length) {
        layout.truncated = true;
        break;
      }
      at += 3 + length;
      continue;
    }
    const std::size_t length = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    if (size - at - 1 < length) {
      layout.truncated = true;
      break;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) value |= static_cast<std::uint32_t>(bytes[at + 1 + i]) << (8 * i);
    const std::uint8_t type = (prefix >> 2) & 0x03;
    const std::uint8_t tag = prefix >> 4;
    at += 1 + length;

    if (type == 0) {  // main
      const bool inVendor = depth > 0 && vendorAt[std::min(depth, kMaxCollectionDepth)];
      if (tag == 0x8 && inVendor)
        layout.vendorInputBits = AddBits(layout.vendorInputBits, globals.reportSize, globals.reportCount);
      if (tag == 0x9 && inVendor)
        layout.vendorOutputBits = AddBits(layout.vendorOutputBits, globals.reportSize, globals.reportCount);
      if (tag == 0xA) {
        const std::uint32_t page = usageHasPage ? usage >> 16 : globals.usagePage;
        ++depth;
        vendorAt[std::min(depth, kMaxCollectionDepth)] = inVendor || VendorPage(page);
      }
      if (tag == 0xC && depth > 0) --depth;
      usage = 0;  // locals last until the next main item
      usageHasPage = false;
    } else if (type == 1) {  // global
      switch (tag) {
        case 0x0:
          globals.usagePage = value;
          break;
        case 0x7:
          globals.reportSize = value;
          break;
        case 0x8:
          layout.numbered = true;
          break;
        case 0x9:
          globals.reportCount = value;
          break;
        case 0xA:
          if (pushDepth < kMaxPushDepth) pushed[pushDepth++] = globals;
          break;
        case 0xB:
          if (pushDepth > 0) globals = pushed[--pushDepth];
          break;
        default:
          break;
      }
    } else if (type == 2 && tag == 0x0) {  // local usage
      usage = value;
      usageHasPage = length == 4;
    }
  }
  return layout;
}

bool IsUpdateInterface(const ReportLayout& layout) {
  return !layout.numbered && layout.vendorInputBits == 64 * 8 && layout.vendorOutputBits == 64 * 8;
}

}  // namespace hiddevice
