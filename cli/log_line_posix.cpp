#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "log_line_system.h"
#include "run_record.h"

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
  // The kernel's name for a host that was given none: no name at all.
  if (std::strcmp(name, "(none)") == 0) return std::string();
  return name;
}

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
