#include "child_runs.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
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
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    if (ownProcessGroup) setpgid(0, 0);
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, STDIN_FILENO);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  child.pid = pid;
  child.output = pipeFds[0];
  child.startedMs = MonotonicMs();
  return true;
}

void ReadChild(ChildRun& child, ChildListener& listener, hiddevice::EventLoop& loop) {
  char bytes[4096];
  bool ended = false;
  for (;;) {
    const ssize_t got = read(child.output, bytes, sizeof bytes);
    if (got > 0) {
      child.pending.append(bytes, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // The child is done: collect its status.
    loop.Unwatch(child.output);
    close(child.output);
    child.output = -1;
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    child.endedMs = MonotonicMs();
    ended = true;
    break;
  }
  std::size_t end;
  while ((end = child.pending.find('\n')) != std::string::npos) {
    const std::string line = child.pending.substr(0, end);
    child.pending.erase(0, end + 1);
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
