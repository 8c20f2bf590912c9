#include "progress_view.h"

#include <unistd.h>

#include <cinttypes>

#include "json_events.h"

namespace {

std::string Duration(std::uint64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02u:%02u", seconds / 3600, static_cast<unsigned>(seconds / 60 % 60),
                  static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  }
  return text;
}

// Whether a report of progress is worth showing: a new percentage, or the
// rate and time left refreshed after a while. The engine reports after every
// chunk, far more often than anyone can read.
class RedrawPace {
 public:
  bool Due(const Progress& progress) {
    constexpr std::uint64_t kRefreshMs = 250;
    if (shown_ && progress.percent == percent_ && progress.elapsedMs < shownAtMs_ + kRefreshMs) return false;
    shown_ = true;
    percent_ = progress.percent;
    shownAtMs_ = progress.elapsedMs;
    return true;
  }

 private:
  bool shown_ = false;
  std::uint32_t percent_ = 0;
  std::uint64_t shownAtMs_ = 0;
};

class TerminalLine final : public ProgressView {
 public:
  explicit TerminalLine(std::FILE* out) : out_(out) {}
  void Update(const Progress& progress) override {
    if (!pace_.Due(progress)) return;
    std::fprintf(out_, "\r\033[K%s", FormatProgress(progress).c_str());
    std::fflush(out_);
    shown_ = true;
  }
  void Say(const std::string& line) override {
    if (shown_) std::fputs("\r\033[K", out_);
    std::fprintf(out_, "%s\n", line.c_str());
    shown_ = false;
    std::fflush(out_);
  }
  void Finish() override {
    if (shown_) std::fputc('\n', out_);
    shown_ = false;
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  bool shown_ = false;
  RedrawPace pace_;
};

class PlainLines final : public ProgressView {
 public:
  explicit PlainLines(std::FILE* out) : out_(out) {}
  void Update(const Progress& progress) override {
    if (progress.percent == lastPercent_) return;  // one line per percent
    lastPercent_ = progress.percent;
    std::fprintf(out_, "%s\n", FormatProgress(progress).c_str());
    std::fflush(out_);
  }
  void Say(const std::string& line) override {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }
  void Finish() override {}

 private:
  std::FILE* out_;
  std::uint32_t lastPercent_ = UINT32_MAX;
};

class ForParent final : public ProgressView {
 public:
  explicit ForParent(std::FILE* out) : out_(out) {}
  void Update(const Progress& progress) override {
    if (!pace_.Due(progress)) return;
    std::fprintf(out_, "progress %u %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", progress.percent, progress.bytes,
                 progress.total, progress.elapsedMs);
    std::fflush(out_);
  }
  void Say(const std::string& line) override {
    std::string flat = line;
    for (char& c : flat) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(out_, "say %s\n", flat.c_str());
    std::fflush(out_);
  }
  void Finish() override {}

 private:
  std::FILE* out_;
  RedrawPace pace_;
};

}  // namespace

std::string FormatProgress(const Progress& progress) {
  char text[160];
  int used = std::snprintf(text, sizeof text, "%3u%%  %7" PRIu64 " / %" PRIu64 " bytes", progress.percent,
                           progress.bytes, progress.total);
  if (progress.elapsedMs > 0 && progress.bytes > 0 && used > 0) {
    const double perSecond = static_cast<double>(progress.bytes) * 1000.0 / static_cast<double>(progress.elapsedMs);
    const std::uint64_t left = progress.total > progress.bytes ? progress.total - progress.bytes : 0;
    const auto secondsLeft = static_cast<std::uint64_t>(static_cast<double>(left) / perSecond + 0.5);
    std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "  %6.1f KiB/s  %s left",
                  perSecond / 1024.0, Duration(secondsLeft).c_str());
  }
  return text;
}

std::unique_ptr<ProgressView> MakeProgressView(ProgressStyle style, std::FILE* out) {
  switch (style) {
    case ProgressStyle::Terminal:
      return std::make_unique<TerminalLine>(out);
    case ProgressStyle::ForParent:
      return std::make_unique<ForParent>(out);
    case ProgressStyle::Json:
      return MakeJsonProgressView(out, stderr);
    case ProgressStyle::Plain:
      break;
  }
  return std::make_unique<PlainLines>(out);
}

ProgressStyle StyleFor(std::FILE* out) { return isatty(fileno(out)) ? ProgressStyle::Terminal : ProgressStyle::Plain; }

bool ParseParentLine(const std::string& line, Progress& progress, std::string& said, bool& isProgress) {
  if (line.compare(0, 4, "say ") == 0) {
    said = line.substr(4);
    isProgress = false;
    return true;
  }
  Progress parsed;
  unsigned percent = 0;
  if (std::sscanf(line.c_str(), "progress %u %" SCNu64 " %" SCNu64 " %" SCNu64, &percent, &parsed.bytes, &parsed.total,
                  &parsed.elapsedMs) != 4)
    return false;
  parsed.percent = percent;
  progress = parsed;
  isProgress = true;
  return true;
}
