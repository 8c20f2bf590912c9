// korvid-update flash FILE --station: a bench's loop. Every controller that
// comes in BOOT mode is updated, several at once (one child process each,
// as --all), until Ctrl-C or --count runs have ended. Controllers are named
// by their USB port: nodes change at every plug, ports do not.
#include <signal.h>

#include <cinttypes>
#include <list>
#include <map>
#include <optional>
#include <string>

#include "child_runs.h"
#include "commands.h"
#include "device_text.h"
#include "engine_session.h"
#include "exit_status.h"
#include "firmware_header.h"
#include "protocol.h"
#include "run_board.h"
#include "sha256.h"
#include "system_event_loop.h"

namespace {

constexpr char kPlugAgain[] = "plug it in again in BOOT mode";

// Where a controller is plugged in, as the station tells controllers apart:
// its port, or its node where the system tells no port.
std::string PlugKey(const hiddevice::DeviceProperties& properties) {
  const std::string port = hiddevice::PortPath(properties);
  return port.empty() ? properties.path : port;
}

// Its port and serial; its serial alone where the system tells no port, as
// a node's name is long and says less to a person.
std::string Label(const hiddevice::DeviceProperties& properties) {
  const std::string serial = TerminalSafe(properties.serial);
  if (hiddevice::PortPath(properties).empty() && !serial.empty()) return serial;
  return serial.empty() ? PlugKey(properties) : PlugKey(properties) + " (" + serial + ")";
}

class Station final : public hiddevice::DeviceSourceClient {
 public:
  Station(const FlashOptions& options, std::FILE* people, unsigned count)
      : options_(options),
        count_(count),
        board_(people, runs_, !options.json && options.style == ProgressStyle::Terminal),
        reporter_(board_, options.json, [this](ChildRun& run) { RunEnded(run); }) {}

  // Until Ctrl-C (twice: the transfers under way are stopped too) or
  // --count runs have ended; the exit status.
  int Run() {
    // Watched only: each run's child opens its own controller. Of a BOOT-mode
    // controller's USB device only its update interface counts, so that one
    // plug is one arrival.
    hiddevice::DeviceSelection selection;
    for (const std::uint16_t vendorId : kBootVendorIds) {
      selection.watchUpdateInterface.push_back({vendorId, kBootProductId});
      selection.watch.push_back({vendorId, kApplicationProductId});
    }
    hiddevice::SystemEventLoop::StopOnSignal(SIGINT);
    hiddevice::SystemEventLoop::StopOnSignal(SIGTERM);
    source_ = hiddevice::CreateDeviceSource(loop_, *this, selection);
    source_->Start();
    bool stopped = false;
    while (!(ending_ && Running() == 0)) {
      const int signal = loop_.Run();
      if (signal == 0) continue;
      if (!ending_ && signal == SIGINT && Running() > 0) {
        ending_ = true;
        Tell("Ending: the " + std::to_string(Running()) +
             " updates under way are finished first; Ctrl-C again stops them.");
      } else if (Running() > 0 && !stopped) {
        ending_ = stopped = true;
        InterruptChildren(runs_);
      } else {
        ending_ = true;
      }
    }
    source_.reset();
    board_.Done();
    std::FILE* people = options_.json ? stderr : stdout;
    PrintSummary(people, runs_);
    reporter_.Summary(runs_);
    const RunCounts counts = CountRuns(runs_);
    if (stopped && counts.interrupted > 0) return kExitInterrupted;
    return counts.failed + counts.interrupted == 0 ? kExitUpdated : kExitNotUpdated;
  }

  void DeviceArrived(hiddevice::DeviceId, const hiddevice::DeviceProperties&) override {}
  void DeviceRemoved(hiddevice::DeviceId) override {}
  void InputReport(hiddevice::DeviceId, const std::uint8_t*, std::size_t) override {}

  void DeviceSeen(const hiddevice::DeviceProperties& properties) override {
    Plug& plug = plugs_[PlugKey(properties)];
    ++(properties.productId == kBootProductId ? plug.bootNodes : plug.applicationNodes);
    if (properties.productId != kBootProductId) return;
    if (plug.run != nullptr && plug.run->exitStatus < 0) {
      // Plugged in again before its run saw it go: taken once that run ends.
      plug.cameBack = properties;
      return;
    }
    if (ending_ || started_ >= count_) {
      TellAbout(properties, "not taken: the station is ending");
      return;
    }
    Start(plug, properties);
  }

  void DeviceUnseen(const hiddevice::DeviceProperties& properties) override {
    const auto found = plugs_.find(PlugKey(properties));
    if (found == plugs_.end()) return;
    Plug& plug = found->second;
    unsigned& nodes = properties.productId == kBootProductId ? plug.bootNodes : plug.applicationNodes;
    if (nodes > 0) --nodes;
    // A finished controller's line stays until it is unplugged.
    if (plug.bootNodes == 0 && plug.applicationNodes == 0 && plug.run != nullptr && plug.run->exitStatus >= 0) {
      plug.run->onBoard = false;
      board_.Redraw();
    }
  }

 private:
  struct Plug {
    unsigned bootNodes = 0;
    unsigned applicationNodes = 0;
    ChildRun* run = nullptr;  // its latest run
    std::optional<hiddevice::DeviceProperties> cameBack;
  };

  void Start(Plug& plug, const hiddevice::DeviceProperties& properties) {
    if (plug.run != nullptr) plug.run->onBoard = false;  // taken again: a new line
    runs_.emplace_back();
    ChildRun& run = runs_.back();
    run.properties = properties;
    run.label = Label(properties);
    plug.run = &run;
    ++started_;
    // By port where the system tells it: the child then opens the
    // controller's own interface on it, whichever node came first.
    if (!SpawnChild(run, options_, true, !hiddevice::PortPath(properties).empty())) {
      run.lastSaid = "could not start its update";
      run.exitStatus = kExitNotUpdated;
      reporter_.Ended(run);
      return;
    }
    loop_.Watch(ChildOutputWatched(*run.process), [this, &run] { ReadChild(run, reporter_, loop_); });
    board_.Redraw();
  }

  void RunEnded(ChildRun& run) {
    const std::string result = ChildResult(run);
    if (result == "updated") {
      board_.Said(run, run.returned.value_or(false) ? "updated; it restarted in its application mode"
                                                    : "updated; it was not seen back in its application mode");
    } else {
      board_.Said(run, (result == "interrupted" ? std::string("interrupted") : "not updated: " + ChildReason(run)) +
                           "; " + kPlugAgain);
    }
    if (++ended_ >= count_) ending_ = true;
    Plug& plug = plugs_[PlugKey(run.properties)];
    if (plug.run == &run && plug.cameBack) {
      const hiddevice::DeviceProperties properties = *plug.cameBack;
      plug.cameBack.reset();
      if (plug.bootNodes > 0 && !ending_ && started_ < count_) Start(plug, properties);
    }
    if (ending_ && Running() == 0) loop_.Stop();
  }

  unsigned Running() const { return started_ - ended_; }

  void Tell(const std::string& text) {
    std::FILE* people = options_.json ? stderr : stdout;
    board_.Done();
    std::fprintf(people, "%s\n", text.c_str());
    board_.Redraw();
  }
  void TellAbout(const hiddevice::DeviceProperties& properties, const std::string& text) {
    Tell(Label(properties) + ": " + text);
  }

  const FlashOptions& options_;
  const unsigned count_;
  hiddevice::SystemEventLoop loop_;
  std::unique_ptr<hiddevice::DeviceSource> source_;
  std::list<ChildRun> runs_;  // every run, in the order they started
  std::map<std::string, Plug> plugs_;
  RunBoard board_;
  ChildrenReporter reporter_;
  unsigned started_ = 0;
  unsigned ended_ = 0;
  bool ending_ = false;
};

}  // namespace

int RunFlashStation(const FlashOptions& options) {
  const FirmwareFileInfo info = InspectFirmwareFile(options.file);
  std::FILE* people = options.json ? stderr : stdout;
  std::fprintf(people, "Firmware file %s, version %s, %" PRIu64 " bytes, SHA-256 %s.\n",
               TerminalSafe(options.file.string()).c_str(), FileVersionText(info.header).c_str(), info.fileSize,
               FileSha256(options.file).value_or("unreadable").c_str());
  if (!options.yes && !AskOnce(people, "Update every controller plugged in in BOOT mode?")) {
    std::fprintf(people, "Not updated: nothing was sent.\n");
    return kExitNotUpdated;
  }
  std::fprintf(people, "Station: each controller plugged in in BOOT mode is updated%s. Ctrl-C ends.\n%s\n",
               options.count == 0 ? "" : (", " + std::to_string(options.count) + " in all").c_str(),
               kBootModeInstructions);
  std::fflush(people);
  Station station(options, people, options.count == 0 ? UINT32_MAX : options.count);
  return station.Run();
}
