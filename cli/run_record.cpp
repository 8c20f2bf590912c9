#include "run_record.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "controller_link.h"
#include "device_text.h"
#include "log_line_system.h"

RunRecord::RunRecord(const FlashOptions& options, std::string fileVersion, std::uint64_t fileSize,
                     std::string fileSha256)
    : fileName_(options.file.filename().string()),
      fileVersion_(std::move(fileVersion)),
      fileSize_(fileSize),
      fileSha256_(std::move(fileSha256)) {
  if (options.json) {
    events_.emplace(stdout);
  } else if (options.style == ProgressStyle::ForParent) {
    events_.emplace(stdout, "event ");  // the parent's board, summary and events are built from them
  }
  if (options.log) log_ = *options.log;
}

void RunRecord::Controller(const hiddevice::DeviceProperties& properties) {
  controller_ = properties;
  startedMs_ = MonotonicMs();
  if (events_) events_->Controller(properties);
}

void RunRecord::Version(const std::optional<std::string>& version) {
  version_ = version;
  if (events_) events_->Version(version);
}

void RunRecord::Confirmation() {
  if (events_) events_->Confirmation(fileVersion_, version_);
}

bool RunRecord::Ended(const std::string& result, const std::string& reasonCode, const std::string& reason,
                      const std::vector<std::string>& messages, std::string& error) {
  if (ended_) return true;
  ended_ = true;
  if (events_) events_->Result(result, reasonCode, reason, messages);
  if (!log_) return true;
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, ", \"file_size\": %" PRIu64, fileSize_);
  char duration[48];
  std::snprintf(duration, sizeof duration, ", \"duration_ms\": %" PRIu64,
                startedMs_ == 0 ? std::uint64_t{0} : MonotonicMs() - startedMs_);
  const std::string line =
      "{\"time\": \"" + UtcNow() + "\", \"host\": " + JsonStringOrNull(HostName()) +
      ", \"node\": " + JsonStringOrNull(controller_.path) +
      ", \"port\": " + JsonStringOrNull(hiddevice::PortPath(controller_)) +
      ", \"serial\": " + JsonStringOrNull(controller_.serial) + ", \"version_before\": " + JsonStringOrNull(version_) +
      ", \"version_after\": " + (result == "updated" ? JsonString(fileVersion_) : std::string("null")) +
      ", \"file\": " + JsonString(fileName_) + numbers + ", \"file_sha256\": " + JsonStringOrNull(fileSha256_) +
      ", \"result\": \"" + result + "\", \"reason_code\": " + JsonStringOrNull(reasonCode) +
      ", \"reason\": " + JsonStringOrNull(reason) + duration + "}";
  return AppendLine(*log_, line, error);
}

void RunRecord::Returned(bool returned) {
  if (events_) events_->Returned(returned);
}
