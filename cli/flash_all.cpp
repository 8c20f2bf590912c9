// korvid-update flash FILE --all: every controller in BOOT mode at once, one
// child process each (the engine keeps one update per process), with a
// progress line per controller and a summary at the end.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <string>
#include <vector>

#include "commands.h"
#include "device_text.h"
#include "engine_session.h"
#include "exit_status.h"
#include "firmware_header.h"
#include "sha256.h"

namespace {

struct Child {
  hiddevice::DeviceProperties properties;
  pid_t pid = -1;
  int output = -1;  // the child's stdout and stderr
  std::string pending;
  Progress progress;
  bool progressShown = false;
  std::string lastSaid;
  int exitStatus = -1;
  std::uint64_t startedMs = 0;
  std::uint64_t endedMs = 0;
};

bool AskOnce(const std::string& question) {
  std::printf("%s [y/N] ", question.c_str());
  std::fflush(stdout);
  char line[256];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return false;
  std::string word;
  for (const char* c = line; *c != '\0'; ++c) {
    if (*c != ' ' && *c != '\t' && *c != '\n' && *c != '\r') word += static_cast<char>(std::tolower(*c));
  }
  return word == "y" || word == "yes";
}

bool Spawn(Child& child, const FlashOptions& options) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> args = {"korvid-update",       "flash", options.file.string(), "--device",
                                   child.properties.path, "--yes", "--progress=parent"};
  if (options.log) {  // each child logs its own controller
    args.push_back("--log");
    args.push_back(options.log->string());
  }
  if (options.verbose) args.push_back("--verbose");
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, STDIN_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
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

// What the children say, shown as one line per controller.
class Board {
 public:
  Board(std::vector<Child>& children, bool terminal) : children_(children), terminal_(terminal) {}

  void Said(Child& child, const std::string& text) {
    child.lastSaid = text;
    Erase();
    std::printf("%s: %s\n", Name(child).c_str(), text.c_str());
    Draw();
  }
  void Progressed(Child& child) {
    if (terminal_) {
      Erase();
      Draw();
    } else if (!child.progressShown || child.progress.percent != shownPercent(child)) {
      shownPercent(child) = child.progress.percent;  // one plain line per percent
      std::printf("%s: %s\n", Name(child).c_str(), FormatProgress(child.progress).c_str());
    }
    child.progressShown = true;
    std::fflush(stdout);
  }
  void Done() { Erase(); }

 private:
  static std::string Name(const Child& child) { return child.properties.path; }
  std::uint32_t& shownPercent(const Child& child) { return shown_[&child - children_.data()]; }
  void Erase() {
    if (!terminal_ || drawn_ == 0) return;
    std::printf("\033[%zuA\r\033[J", drawn_);
    drawn_ = 0;
  }
  void Draw() {
    if (!terminal_) return;
    for (const Child& child : children_) {
      const std::string state = child.exitStatus >= 0 ? (child.exitStatus == 0 ? "updated" : "not updated")
                                : child.progressShown ? FormatProgress(child.progress)
                                                      : "starting";
      std::printf("%s  %s\n", Name(child).c_str(), state.c_str());
    }
    drawn_ = children_.size();
    std::fflush(stdout);
  }

  std::vector<Child>& children_;
  bool terminal_;
  std::size_t drawn_ = 0;
  std::vector<std::uint32_t> shown_ = std::vector<std::uint32_t>(children_.size(), UINT32_MAX);
};

void ReadFrom(Child& child, Board& board, hiddevice::EventLoop& loop) {
  char bytes[4096];
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
    break;
  }
  std::size_t end;
  while ((end = child.pending.find('\n')) != std::string::npos) {
    const std::string line = child.pending.substr(0, end);
    child.pending.erase(0, end + 1);
    Progress progress;
    std::string said;
    bool isProgress = false;
    if (!ParseParentLine(line, progress, said, isProgress)) said = line;  // a plain message
    if (isProgress) {
      child.progress = progress;
      board.Progressed(child);
    } else if (!said.empty()) {
      board.Said(child, said);
    }
  }
  if (child.exitStatus >= 0) board.Progressed(child);
}

std::string ResultText(const Child& child) {
  switch (child.exitStatus) {
    case kExitUpdated:
      return "updated";
    case kExitInterrupted:
      return "interrupted";
    default:
      return child.lastSaid.empty() ? "not updated" : "not updated: " + child.lastSaid;
  }
}

}  // namespace

int RunFlashAll(const FlashOptions& options) {
  std::vector<Child> children;
  {
    EngineSession session(ProgressStyle::Plain, options.verbose);
    ControllerLink& link = session.Link();
    if (link.Start() == ControllerLink::Wait::Interrupted) return kExitInterrupted;
    if (link.Controllers().empty() && link.UnavailableControllers().empty() && options.wait) {
      const ControllerChoice choice = ChooseController(link, ControllerName{}, true, options.waitSeconds);
      if (!choice.controller) return choice.exitStatus;
    }
    // Every controller, or none: not some of them behind the user's back.
    if (!link.UnavailableControllers().empty()) {
      TellNoAccess(link);
      return kExitUsage;
    }
    if (link.Controllers().empty()) return ChooseController(link, ControllerName{}, false, 0).exitStatus;
    const FirmwareFileInfo info = InspectFirmwareFile(options.file);
    std::printf("Firmware file %s, version %s, %" PRIu64 " bytes, SHA-256 %s, for %zu controller%s:\n",
                TerminalSafe(options.file.string()).c_str(), FileVersionText(info.header).c_str(), info.fileSize,
                FileSha256(options.file).value_or("unreadable").c_str(), link.Controllers().size(),
                link.Controllers().size() == 1 ? "" : "s");
    for (const ControllerLink::Controller& controller : link.Controllers()) {
      bool interrupted = false;
      const std::optional<std::string> version = session.QueryVersion(controller.id, interrupted);
      if (interrupted) return kExitInterrupted;
      std::printf("  %s, firmware %s\n", DescribeController(controller.properties).c_str(),
                  version ? version->c_str() : "version unknown");
      Child child;
      child.properties = controller.properties;
      children.push_back(child);
    }
    std::fflush(stdout);
  }  // the children open the controllers themselves

  if (!options.yes && !AskOnce("Update all of them?")) {
    std::printf("Not updated: nothing was sent.\n");
    return kExitNotUpdated;
  }

  hiddevice::PollEventLoop loop;
  hiddevice::PollEventLoop::StopOnSignal(SIGINT);
  hiddevice::PollEventLoop::StopOnSignal(SIGTERM);
  Board board(children, options.style == ProgressStyle::Terminal);
  for (Child& child : children) {
    if (!Spawn(child, options)) {
      child.exitStatus = kExitNotUpdated;
      child.lastSaid = "could not start its update";
      continue;
    }
    loop.Watch(child.output, [&child, &board, &loop] {
      ReadFrom(child, board, loop);
      loop.Stop();
    });
  }
  bool interrupted = false;
  const auto running = [&] {
    for (const Child& child : children) {
      if (child.output >= 0) return true;
    }
    return false;
  };
  while (running()) {
    // The children hear the same Ctrl-C (one process group) and stop
    // themselves; a signal sent to this process alone is passed on.
    if (loop.Run() != 0 && !interrupted) {
      interrupted = true;
      for (const Child& child : children) {
        if (child.output >= 0) kill(child.pid, SIGINT);
      }
    }
  }
  board.Done();

  std::printf("\nSummary:\n");
  bool allUpdated = true;
  for (const Child& child : children) {
    const double seconds = child.endedMs > child.startedMs ? (child.endedMs - child.startedMs) / 1000.0 : 0.0;
    std::printf("  %-16s  %6.1f s  %s\n", child.properties.path.c_str(), seconds, ResultText(child).c_str());
    allUpdated = allUpdated && child.exitStatus == kExitUpdated;
  }
  if (interrupted) return kExitInterrupted;
  return allUpdated ? kExitUpdated : kExitNotUpdated;
}
