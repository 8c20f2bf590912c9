#include "run_board.h"

#include "device_text.h"

void RunBoard::Said(const ChildRun& run, const std::string& text) {
  Erase();
  std::fprintf(out_, "%s: %s\n", run.label.c_str(), text.c_str());
  Draw();
  std::fflush(out_);
}

void RunBoard::Progressed(ChildRun& run) {
  if (terminal_) {
    Redraw();
    return;
  }
  if (run.plainPercentShown != run.progress.percent) {  // one plain line per percent
    run.plainPercentShown = run.progress.percent;
    std::fprintf(out_, "%s: %s\n", run.label.c_str(), FormatProgress(run.progress).c_str());
    std::fflush(out_);
  }
}

void RunBoard::Redraw() {
  if (!terminal_) return;
  Erase();
  Draw();
  std::fflush(out_);
}

void RunBoard::Erase() {
  if (!terminal_ || drawn_ == 0) return;
  std::fprintf(out_, "\033[%zuA\r\033[J", drawn_);
  drawn_ = 0;
}

void RunBoard::Draw() {
  if (!terminal_) return;
  for (const ChildRun& run : runs_) {
    if (!run.onBoard) continue;
    std::fprintf(out_, "%s  %s\n", run.label.c_str(), RunState(run).c_str());
    ++drawn_;
  }
}

std::string RunState(const ChildRun& run) {
  if (run.exitStatus >= 0) {
    const std::string result = ChildResult(run);
    if (result != "updated") return result == "interrupted" ? "interrupted" : "not updated";
    if (!run.returned) return "updated";
    return *run.returned ? "updated, back in its application mode" : "updated, not seen back";
  }
  const std::string from = run.version ? *run.version + "  " : std::string();
  return from + (run.progressShown ? FormatProgress(run.progress) : "starting");
}

void ChildrenReporter::Progressed(ChildRun& child) {
  board_.Progressed(child);
  if (!json_ || child.eventPercentShown == child.progress.percent) return;
  child.eventPercentShown = child.progress.percent;
  JsonEvents(stdout, "", IdentityFields(child.properties)).Progress(child.progress);
}

void ChildrenReporter::Event(ChildRun& child, const std::string& line) {
  if (json_) {
    const std::string event = EventName(line) == "controller" ? line : WithIdentity(line, IdentityFields(child.properties));
    std::fprintf(stdout, "%s\n", event.c_str());
    std::fflush(stdout);
  }
  board_.Redraw();
}

void ChildrenReporter::Ended(ChildRun& child) {
  if (json_ && child.result.empty())
    JsonEvents(stdout, "", IdentityFields(child.properties))
        .Result(ChildResult(child), ChildReasonCode(child), ChildReason(child), {});
  if (ended_) ended_(child);
  board_.Redraw();
}

void ChildrenReporter::Summary(const std::list<ChildRun>& runs) {
  if (!json_) return;
  const RunCounts counts = CountRuns(runs);
  std::string list;
  for (const ChildRun& run : runs) {
    if (run.exitStatus < 0) continue;
    list += std::string(list.empty() ? "" : ", ") + "{" + IdentityFields(run.properties).substr(2) +
            ", \"result\": \"" + ChildResult(run) + "\", \"reason_code\": " + JsonStringOrNull(ChildReasonCode(run)) +
            ", \"duration_ms\": " + std::to_string(run.endedMs > run.startedMs ? run.endedMs - run.startedMs : 0) + "}";
  }
  JsonEvents(stdout).Emit("summary", ", \"updated\": " + std::to_string(counts.updated) +
                                         ", \"failed\": " + std::to_string(counts.failed) +
                                         ", \"interrupted\": " + std::to_string(counts.interrupted) +
                                         ", \"controllers\": [" + list + "]");
}
