// Cost of the update engine per acknowledged chunk, and of whole updates
// against the simulated controller.
//
// Every heap allocation of this program goes through the counting operators
// below, so each benchmark can report how many allocations (and how many live
// bytes at most) its timed work needed.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "engine.h"
#include "frontend.h"
#include "protocol.h"
#include "sample_firmware.h"
#include "simulated_controller.h"
#include "simulated_frontend.h"
#include "transcript.h"
#include "update_session.h"

// ---- Heap accounting -------------------------------------------------------

namespace {

struct HeapCounters {
  std::atomic<uint64_t> allocations{0};
  std::atomic<int64_t> liveBytes{0};
  std::atomic<int64_t> peakBytes{0};
};

HeapCounters& Heap() {
  static HeapCounters counters;  // constant-initialised: usable before main
  return counters;
}

void* CountedAllocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  HeapCounters& heap = Heap();
  heap.allocations.fetch_add(1, std::memory_order_relaxed);
  const int64_t live =
      heap.liveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed) +
      static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = heap.peakBytes.load(std::memory_order_relaxed);
  while (live > peak && !heap.peakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  return p;
}

void CountedFree(void* p) noexcept {
  if (p == nullptr) return;
  Heap().liveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

uint64_t Allocations() { return Heap().allocations.load(std::memory_order_relaxed); }

// Starts a new peak measurement from the current live size; returns that size.
int64_t ResetPeak() {
  const int64_t live = Heap().liveBytes.load(std::memory_order_relaxed);
  Heap().peakBytes.store(live, std::memory_order_relaxed);
  return live;
}
int64_t PeakBytes() { return Heap().peakBytes.load(std::memory_order_relaxed); }

}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }

// ---- Fixtures ----------------------------------------------------------------

namespace {

constexpr DeviceTarget kTarget = 0;
constexpr std::size_t kMiB = 1024 * 1024;

// Reports as the controller sends them: message bytes after the count byte,
// always 63 readable bytes.
struct InputReport {
  uint8_t message[kMaxReportMessage] = {};
  uint16_t count = 0;
};

InputReport Acknowledgement() {
  InputReport report;
  const uint8_t ack[] = {0x00, MSG_FIRMWARE, 0x01, 0x00, FIRMWARE_ACK};
  std::memcpy(report.message, ack, sizeof ack);
  report.count = sizeof ack;
  return report;
}

InputReport Identity(uint32_t firmwareType) {
  InputReport report;
  report.message[0] = 0x00;
  report.message[1] = MSG_IDENTITY;
  WriteLe16(report.message + 2, 40);
  WriteLe32(report.message + kIdentityFirmwareTypeOffset, firmwareType);
  report.count = kMessageHeaderSize + 40;
  return report;
}

void Deliver(const InputReport& report) { OnDataReceived(kTarget, PACKET_TYPE_HID, report.message, report.count); }

// A firmware file in the temporary folder, removed when the benchmark ends.
class TempFirmwareFile {
 public:
  explicit TempFirmwareFile(std::size_t payloadSize) {
    path_ = std::filesystem::temp_directory_path() /
            ("korvid_bench_" + std::to_string(::getpid()) + "_" + std::to_string(payloadSize) + ".dat");
    SampleFirmware firmware;
    firmware.payload = MakeSamplePayload(payloadSize);
    ok_ = WriteFirmwareFile(path_, FirmwareFileBytes(firmware));
  }
  ~TempFirmwareFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TempFirmwareFile(const TempFirmwareFile&) = delete;
  TempFirmwareFile& operator=(const TempFirmwareFile&) = delete;

  bool ok() const { return ok_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool ok_ = false;
};

// The cheapest front-end a real one could be: each report is copied into a
// local buffer and folded into a checksum (so the copy cannot be dropped),
// the write always succeeds (Windows convention), the user always picks the
// file and confirms, and nothing is shown.
class InMemoryFrontEnd final : public FrontEnd {
 public:
  explicit InMemoryFrontEnd(std::filesystem::path firmware) : firmware_(std::move(firmware)) {}

  Status WriteReport(DeviceTarget, const uint8_t (&report)[kReportSize]) override {
    std::memcpy(last_, report, kReportSize);
    uint64_t words[kReportSize / sizeof(uint64_t)];
    std::memcpy(words, last_, sizeof words);
    for (uint64_t word : words) checksum_ = (checksum_ ^ word) * 0x100000001B3ull;
    ++reports_;
    return 1;
  }
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest&) override { return firmware_; }
  ConfirmAnswer AskConfirmation(DeviceTarget, const ConfirmationRequest&) override { return ConfirmAnswer::Ok; }
  void ShowDeviceVersion(std::string_view) override {}
  void ShowMessage(const UserMessage&) override { ++messages_; }
  void ShowProgress(uint32_t) override {}
  void EnableUpdateButton(ButtonRule) override {}
  void ShowUpgradedNotice() override { ++successes_; }

  uint64_t checksum() const { return checksum_; }
  uint64_t reports() const { return reports_; }
  uint64_t messages() const { return messages_; }
  uint64_t successes() const { return successes_; }
  const uint8_t* lastReport() const { return last_; }

 private:
  std::filesystem::path firmware_;
  uint8_t last_[kReportSize] = {};
  uint64_t checksum_ = 0xCBF29CE484222325ull;
  uint64_t reports_ = 0;
  uint64_t messages_ = 0;
  uint64_t successes_ = 0;
};

// Identity in, file chosen and confirmed, header out, first acknowledgement:
// the engine is then in state 2 with the first chunk sent, waiting for the
// acknowledgement that asks for the second.
bool StartTransfer() {
  Deliver(Identity(1));
  if (g_firmware_update_state != UPDATE_HEADER_SENT || m_updateComplete) return false;
  Deliver(Acknowledgement());
  return g_firmware_update_state == UPDATE_SENDING_DATA && !m_updateComplete;
}

// ---- Engine cost per acknowledgement ---------------------------------------

// One FIRMWARE_ACK in state 2: read the next 32-byte chunk, frame it, write
// the report. The payload size is the argument; at the end of the payload the
// transfer is finished and started again outside the timed region.
void BM_AcknowledgementToChunk(benchmark::State& state) {
  const auto payloadSize = static_cast<std::size_t>(state.range(0));
  TempFirmwareFile file(payloadSize);
  if (!file.ok()) {
    state.SkipWithError("cannot write the firmware file");
    return;
  }
  InMemoryFrontEnd frontEnd(file.path());
  EngineStartUp(EngineSetup{Platform::Windows, &frontEnd, nullptr});
  if (!StartTransfer()) {
    state.SkipWithError("the transfer did not start");
    return;
  }

  const InputReport ack = Acknowledgement();
  uint64_t restarts = 0;
  uint64_t untimedAllocations = 0;
  uint64_t untimedReports = 0;
  const uint64_t reportsBefore = frontEnd.reports();
  const uint64_t allocationsBefore = Allocations();
  const int64_t liveBefore = ResetPeak();

  for (auto _ : state) {
    Deliver(ack);
    if (g_firmware_update_state == UPDATE_DATA_SENT) {
      state.PauseTiming();
      const uint64_t allocations = Allocations();
      const uint64_t reports = frontEnd.reports();
      Deliver(ack);  // completion command and success
      const bool restarted = frontEnd.successes() == restarts + 1 && StartTransfer();
      ++restarts;
      untimedAllocations += Allocations() - allocations;
      untimedReports += frontEnd.reports() - reports;
      if (!restarted) {
        state.SkipWithError("the transfer did not finish and start again");
        break;
      }
      state.ResumeTiming();
    }
  }

  if (state.error_occurred()) return;
  const uint64_t timedReports = frontEnd.reports() - reportsBefore - untimedReports;
  if (timedReports != static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("an acknowledgement did not produce exactly one data report");
    return;
  }
  const uint64_t timedAllocations = Allocations() - allocationsBefore - untimedAllocations;
  benchmark::DoNotOptimize(frontEnd.checksum());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHidChunkSize));
  state.counters["allocs_per_ack"] =
      benchmark::Counter(static_cast<double>(timedAllocations), benchmark::Counter::kAvgIterations);
  state.counters["restarts"] = static_cast<double>(restarts);
  // Live heap above the start, at most, over all acknowledgements and restarts.
  state.counters["peak_heap_growth_B"] = static_cast<double>(PeakBytes() - liveBefore);
}
BENCHMARK(BM_AcknowledgementToChunk)->Arg(1 * kMiB)->Arg(4 * kMiB)->ArgName("payload");

// ---- A whole transfer through the engine alone -----------------------------

// Start-up to success with the in-memory front-end answering every report at
// once: what the engine itself costs for a whole payload, and that its
// allocations and heap do not depend on the payload size.
void BM_EngineOnlyTransfer(benchmark::State& state) {
  const auto payloadSize = static_cast<std::size_t>(state.range(0));
  const uint64_t chunks = (payloadSize + kHidChunkSize - 1) / kHidChunkSize;
  TempFirmwareFile file(payloadSize);
  if (!file.ok()) {
    state.SkipWithError("cannot write the firmware file");
    return;
  }
  InMemoryFrontEnd frontEnd(file.path());
  const InputReport ack = Acknowledgement();
  uint64_t allocations = 0;
  int64_t peakGrowth = 0;

  for (auto _ : state) {
    const uint64_t allocationsBefore = Allocations();
    const int64_t liveBefore = ResetPeak();
    EngineStartUp(EngineSetup{Platform::Windows, &frontEnd, nullptr});
    const uint64_t successesBefore = frontEnd.successes();
    if (!StartTransfer()) {
      state.SkipWithError("the transfer did not start");
      break;
    }
    while (g_firmware_update_state == UPDATE_SENDING_DATA && !m_updateComplete) Deliver(ack);
    Deliver(ack);  // completion command and success
    if (frontEnd.successes() != successesBefore + 1) {
      state.SkipWithError("the transfer did not end in success");
      break;
    }
    allocations += Allocations() - allocationsBefore;
    peakGrowth = std::max(peakGrowth, PeakBytes() - liveBefore);
  }

  if (state.error_occurred()) return;
  benchmark::DoNotOptimize(frontEnd.checksum());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payloadSize));
  state.counters["chunks"] = static_cast<double>(chunks);
  state.counters["per_chunk"] = benchmark::Counter(
      static_cast<double>(chunks), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_transfer"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.counters["peak_heap_growth_B"] = static_cast<double>(peakGrowth);
}
BENCHMARK(BM_EngineOnlyTransfer)->Arg(1 * kMiB)->Arg(4 * kMiB)->ArgName("payload")->Unit(benchmark::kMillisecond);

// ---- A whole update against the simulated controller -----------------------

// RunUpdateSession with no latency: version query, update request, identity,
// file choice, confirmation, every chunk and the completion. The allocation
// and heap counters cover the whole session, most of it the simulation's own:
// the transcript keeps a line per report and front-end operation, and the
// controller keeps the image it received.
void WholeUpdate(benchmark::State& state, std::size_t payloadSize) {
  const uint64_t chunks = (payloadSize + kHidChunkSize - 1) / kHidChunkSize;
  TempFirmwareFile file(payloadSize);
  if (!file.ok()) {
    state.SkipWithError("cannot write the firmware file");
    return;
  }
  const std::filesystem::path firmware = file.path();
  uint64_t allocations = 0;
  int64_t peakGrowth = 0;

  for (auto _ : state) {
    state.PauseTiming();
    {
      SimulatedController controller;
      Transcript transcript;
      SimulatedFrontEnd frontEnd(Platform::Windows, controller, transcript, UserScript{firmware});
      const uint64_t allocationsBefore = Allocations();
      const int64_t liveBefore = ResetPeak();
      state.ResumeTiming();

      const SessionResult result = RunUpdateSession(controller, frontEnd, transcript, &firmware, SessionOptions{});

      state.PauseTiming();
      allocations += Allocations() - allocationsBefore;
      peakGrowth = std::max(peakGrowth, PeakBytes() - liveBefore);
      if (result.end != SessionEnd::Updated || !result.successShown || !controller.Violations().empty() ||
          controller.DataCommandsReceived() != chunks) {
        state.SkipWithError(("the session did not update the controller: " + result.outcome).c_str());
        break;
      }
    }  // the transcript and the controller's image are freed outside the timed region
    state.ResumeTiming();
  }

  if (state.error_occurred()) return;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payloadSize));
  state.counters["chunks"] = static_cast<double>(chunks);
  state.counters["per_chunk"] = benchmark::Counter(
      static_cast<double>(chunks), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_session"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.counters["allocs_per_chunk"] = benchmark::Counter(
      static_cast<double>(allocations) / static_cast<double>(chunks), benchmark::Counter::kAvgIterations);
  state.counters["peak_heap_growth_B"] = static_cast<double>(peakGrowth);
}

void BM_WholeUpdate4MiB(benchmark::State& state) { WholeUpdate(state, 4 * kMiB); }
void BM_WholeUpdate1MiB(benchmark::State& state) { WholeUpdate(state, 1 * kMiB); }
BENCHMARK(BM_WholeUpdate4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeUpdate1MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
