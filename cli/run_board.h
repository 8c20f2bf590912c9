// What the children of --all and --station say, as a person reads it: on a
// terminal, one live line per controller under the lines said; elsewhere,
// plain lines only ("NAME: TEXT", progress once per percent).
#pragma once

#include <cstdio>
#include <functional>
#include <list>
#include <optional>
#include <string>

#include "child_runs.h"
#include "json_events.h"

class RunBoard {
 public:
  RunBoard(std::FILE* out, const std::list<ChildRun>& runs, bool terminal) : out_(out), runs_(runs), terminal_(terminal) {}

  // A line of its own, kept above the live lines.
  void Said(const ChildRun& run, const std::string& text);
  void Progressed(ChildRun& run);
  // The runs or their states changed: the live lines are drawn again.
  void Redraw();
  // The live lines are taken away for what follows (the summary).
  void Done() { Erase(); }

 private:
  void Erase();
  void Draw();

  std::FILE* out_;
  const std::list<ChildRun>& runs_;
  bool terminal_;
  std::size_t drawn_ = 0;
};

// The live line's state of one run: "starting", progress, the result.
std::string RunState(const ChildRun& run);

// The children's lines as the parent passes them on: to the board, and with
// --json as events on standard output, each named by its controller's
// identity, progress once per percent, a result for every run (made up from
// the exit status where a child gave none).
class ChildrenReporter final : public ChildListener {
 public:
  ChildrenReporter(RunBoard& board, bool json, std::function<void(ChildRun&)> ended)
      : board_(board), json_(json), ended_(std::move(ended)) {}
  void Said(ChildRun& child, const std::string& text) override { board_.Said(child, text); }
  void Progressed(ChildRun& child) override;
  void Event(ChildRun& child, const std::string& line) override;
  void Ended(ChildRun& child) override;
  // {"event": "summary", "updated": N, "failed": N, "interrupted": N, "controllers": [...]}
  void Summary(const std::list<ChildRun>& runs);

 private:
  RunBoard& board_;
  bool json_;
  std::function<void(ChildRun&)> ended_;
};
