// The report descriptor reader over arbitrary bytes, as a device may send
// them: no read past the end, sizes that stay saturated, and a verdict that
// agrees with the layout it is drawn from.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "report_descriptor.h"

#define CHECK(condition)                \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's length, so that AddressSanitizer sees
  // any read past its end.
  const std::vector<std::uint8_t> bytes(data, data + size);
  const hiddevice::ReportLayout layout = hiddevice::ParseReportDescriptor(bytes.data(), bytes.size());
  CHECK(layout.vendorInputBits <= (std::uint64_t{1} << 40));
  CHECK(layout.vendorOutputBits <= (std::uint64_t{1} << 40));
  if (hiddevice::IsUpdateInterface(layout)) {
    CHECK(!layout.numbered);
    CHECK(layout.vendorInputBits == 512 && layout.vendorOutputBits == 512);
  }
  return 0;
}
