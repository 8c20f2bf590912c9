#include "run_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "controller_link.h"
#include "device_text.h"

namespace {

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

}  // namespace

bool AppendLine(const std::filesystem::path& file, const std::string& line, std::string& error) {
  const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  const std::string whole = line + "\n";
  ssize_t written;
  do {
    written = write(fd, whole.data(), whole.size());
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;
  const bool closed = close(fd) == 0;
  if (written != static_cast<ssize_t>(whole.size())) {
    error = written < 0 ? std::strerror(writeError) : "the line was written only in part";
    return false;
  }
  if (!closed) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

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
