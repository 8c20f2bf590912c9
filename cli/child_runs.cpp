#include "child_runs.h"

#include <cctype>
#include <vector>

#include "controller_link.h"
#include "exit_status.h"
#include "json_events.h"

namespace {

constexpr char kEventPrefix[] = "event ";

void TakeEvent(ChildRun& child, const std::string& line) {
  const std::string name = EventName(line);
  if (name == "version") {
    child.version = EventStringField(line, "version");
  } else if (name == "result") {
    child.result = EventStringField(line, "result").value_or("failed");
    child.reasonCode = EventStringField(line, "reason_code").value_or("");
    child.reason = EventStringField(line, "reason").value_or("");
  } else if (name == "returned") {
    child.returned = line.find("\"returned\": true") != std::string::npos;
  }
}

}  // namespace

bool SpawnChild(ChildRun& child, const FlashOptions& options, bool ownProcessGroup, bool byPort) {
  std::vector<std::string> args = {"korvid-update",
                                   "flash",
                                   options.file.string(),
                                   byPort ? "--port" : "--device",
                                   byPort ? hiddevice::PortPath(child.properties) : child.properties.path,
                                   "--yes",
                                   "--progress=parent"};
  if (options.log) {  // each child logs its own controller
    args.push_back("--log");
    args.push_back(options.log->string());
  }
  if (options.verbose) args.push_back("--verbose");
  child.process = StartChildProcess(args, ownProcessGroup);
  if (!child.process) return false;
  child.startedMs = MonotonicMs();
  return true;
}

void ReadChild(ChildRun& child, ChildListener& listener, hiddevice::EventLoop& loop) {
  const bool ended = !DrainChildOutput(*child.process, child.pending);
  if (ended) {
    loop.Unwatch(ChildOutputWatched(*child.process));
    child.exitStatus = CollectChildStatus(*child.process);
    child.process.reset();
    child.endedMs = MonotonicMs();
  }
  std::size_t end;
  while ((end = child.pending.find('\n')) != std::string::npos) {
    std::string line = child.pending.substr(0, end);
    child.pending.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a text-mode stream's line end
    if (line.compare(0, sizeof kEventPrefix - 1, kEventPrefix) == 0) {
      const std::string event = line.substr(sizeof kEventPrefix - 1);
      TakeEvent(child, event);
      listener.Event(child, event);
      continue;
    }
    Progress progress;
    std::string said;
    bool isProgress = false;
    if (!ParseParentLine(line, progress, said, isProgress)) said = line;  // a plain message
    if (isProgress) {
      child.progress = progress;
      listener.Progressed(child);
      child.progressShown = true;
    } else if (!said.empty()) {
      child.lastSaid = said;
      listener.Said(child, said);
    }
  }
  if (ended) listener.Ended(child);
}

void InterruptChildren(std::list<ChildRun>& children) {
  for (ChildRun& child : children) {
    if (child.process) InterruptChild(*child.process);
  }
}

std::string ChildResult(const ChildRun& child) {
  if (!child.result.empty()) return child.result;
  if (child.exitStatus == kExitUpdated) return "updated";
  if (child.exitStatus == kExitInterrupted) return "interrupted";
  return "failed";
}

std::string ChildReasonCode(const ChildRun& child) {
  if (ChildResult(child) == "updated") return "";
  if (!child.reasonCode.empty()) return child.reasonCode;
  return ChildResult(child) == "interrupted" ? "interrupted_before_transfer" : "ended_without_result";
}

std::string ChildReason(const ChildRun& child) {
  if (ChildResult(child) == "updated") return "";
  if (!child.reason.empty()) return child.reason;
  return child.lastSaid.empty() ? "its update ended without a result" : child.lastSaid;
}

std::string ChildSummaryText(const ChildRun& child) {
  const std::string result = ChildResult(child);
  if (result == "updated" || result == "interrupted") return result;
  return "not updated: " + (child.lastSaid.empty() ? ChildReason(child) : child.lastSaid);
}

RunCounts CountRuns(const std::list<ChildRun>& runs) {
  RunCounts counts;
  for (const ChildRun& run : runs) {
    if (run.exitStatus < 0) continue;
    const std::string result = ChildResult(run);
    if (result == "updated")
      ++counts.updated;
    else if (result == "interrupted")
      ++counts.interrupted;
    else
      ++counts.failed;
  }
  return counts;
}

void PrintSummary(std::FILE* out, const std::list<ChildRun>& runs) {
  std::fprintf(out, "\nSummary:\n");
  for (const ChildRun& run : runs) {
    const double seconds = run.endedMs > run.startedMs ? (run.endedMs - run.startedMs) / 1000.0 : 0.0;
    std::fprintf(out, "  %-16s  %6.1f s  %s\n", run.label.c_str(), seconds, ChildSummaryText(run).c_str());
  }
  const RunCounts counts = CountRuns(runs);
  std::fprintf(out, "%u updated, %u failed, %u interrupted.\n", counts.updated, counts.failed, counts.interrupted);
  std::fflush(out);
}

bool AskOnce(std::FILE* out, const std::string& question) {
  std::fprintf(out, "%s [y/N] ", question.c_str());
  std::fflush(out);
  char line[256];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return false;
  std::string word;
  for (const char* c = line; *c != '\0'; ++c) {
    if (!std::isspace(static_cast<unsigned char>(*c)))
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  }
  return word == "y" || word == "yes";
}
