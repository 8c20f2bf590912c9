// korvid-round-trip.exe: the bare cost of one report and its answer through
// the stack update.exe meets the controller by (the first controller's HID
// interface), measured as
// update.exe moves reports: a 65-byte write on one handle, an overlapped read
// on another. The report is the version request, which the controller
// answers every time. Prints the distribution in microseconds.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/hid_interfaces.h"

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // read by scripts: bare line feeds
  if (argc < 2) {
    std::fputs("usage: korvid-round-trip --hid [COUNT]\n", stderr);
    return 2;
  }
  const std::wstring name = argv[1];
  const int count = argc > 2 ? std::max(1, _wtoi(argv[2])) : 8192;

  if (name != L"--hid") {
    std::fputs("usage: korvid-round-trip --hid [COUNT]\n", stderr);
    return 2;
  }
  // The controller was just plugged in: the system lists it within seconds.
  const std::vector<std::wstring> controllers = WaitForControllerInterfaces(1, 20000, true);
  if (controllers.empty()) {
    std::fputs("korvid-round-trip: the system lists no controller after 20 s\n", stderr);
    return 2;
  }
  const std::wstring path = controllers.front();
  HANDLE write =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE read = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (write == INVALID_HANDLE_VALUE || read == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "korvid-round-trip: cannot open %ls (error %lu)\n", path.c_str(), GetLastError());
    return 2;
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const BYTE request[65] = {0x00, 0x05, 0x00, 0x16, 0x01, 0x00, 0x04};  // report ID, version request
  BYTE answer[65];

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  int lost = 0;
  LARGE_INTEGER measuredFrom{};
  for (int i = 0; i < count + 50; ++i) {  // the first 50 warm up
    if (i == 50) QueryPerformanceCounter(&measuredFrom);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    DWORD bytes = 0;
    WriteFile(write, request, sizeof request, &bytes, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    if (!ReadFile(read, answer, sizeof answer, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
      ++lost;
      continue;
    }
    if (WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) {
      CancelIo(read);
      GetOverlappedResult(read, &overlapped, &bytes, TRUE);
      ++lost;
      continue;
    }
    QueryPerformanceCounter(&end);
    if (i >= 50)
      micros.push_back(static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
                       static_cast<double>(frequency.QuadPart));
  }
  if (micros.empty()) {
    std::fputs("korvid-round-trip: no answer came\n", stderr);
    return 1;
  }
  LARGE_INTEGER measuredTo;
  QueryPerformanceCounter(&measuredTo);
  // Back to back: against a paced controller this is frames used by an
  // updater that costs nothing.
  const double elapsedUs =
      static_cast<double>(measuredTo.QuadPart - measuredFrom.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
  std::sort(micros.begin(), micros.end());
  double sum = 0;
  for (double value : micros) sum += value;
  const auto at = [&](double fraction) { return micros[static_cast<std::size_t>(fraction * (micros.size() - 1))]; };
  // A round trip longer than a 1 ms USB frame costs a paced transfer a frame.
  const auto overFrame = micros.end() - std::upper_bound(micros.begin(), micros.end(), 1000.0);
  std::printf(
      "round_trips=%zu lost=%d elapsed_us=%.0f mean_us=%.0f median_us=%.0f p90_us=%.0f p99_us=%.0f max_us=%.0f "
      "over_1ms=%.1f%%\n",
      micros.size(), lost, elapsedUs, sum / static_cast<double>(micros.size()), at(0.5), at(0.9), at(0.99),
      micros.back(), 100.0 * static_cast<double>(overFrame) / static_cast<double>(micros.size()));
  return lost == 0 ? 0 : 1;
}
