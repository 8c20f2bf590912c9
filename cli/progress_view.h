// How an update's progress reaches the person (or program) watching: one
// line that updates itself on a terminal, plain lines otherwise, and lines
// for a parent process when it runs several updates at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct Progress {
  std::uint32_t percent = 0;
  std::uint64_t bytes = 0;
  std::uint64_t total = 0;
  std::uint64_t elapsedMs = 0;  // since the first chunk went out
};

// "  42%   10752 / 25600 bytes   12.3 KiB/s   0:02 left"
std::string FormatProgress(const Progress& progress);

class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void Update(const Progress& progress) = 0;
  // A line of its own (a message, a question), never mixed into the
  // progress line.
  virtual void Say(const std::string& line) = 0;
  // The transfer is over: the progress line stays as it was last shown.
  virtual void Finish() = 0;
};

// Json: progress events on the output (json_events.h), what is said on
// standard error.
enum class ProgressStyle { Terminal, Plain, ForParent, Json };

std::unique_ptr<ProgressView> MakeProgressView(ProgressStyle style, std::FILE* out);

// Terminal when `out` is one, plain lines otherwise.
ProgressStyle StyleFor(std::FILE* out);

// The lines a child writes for its parent ("progress P B T MS", "say TEXT")
// and their reading; false for a line that is neither.
bool ParseParentLine(const std::string& line, Progress& progress, std::string& said, bool& isProgress);
