#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "child_process.h"

namespace {

// The child gets its standard input, output and error, and nothing else:
// not a descriptor some library opened without close-on-exec, nor one on a
// controller's node that the parent was still closing on another thread
// when it forked. A child holding such a node would keep it open, and its
// reports queued, for as long as it runs.
void CloseInherited() {
  if (close_range(STDERR_FILENO + 1, ~0U, 0) == 0) return;
  const long most = sysconf(_SC_OPEN_MAX);
  const int limit = most > 0 && most < 65536 ? static_cast<int>(most) : 65536;
  for (int fd = STDERR_FILENO + 1; fd < limit; ++fd) close(fd);
}

}  // namespace

struct ChildProcess {
  pid_t pid = -1;
  int output = -1;
  ~ChildProcess() {
    if (output >= 0) close(output);
  }
};

std::shared_ptr<ChildProcess> StartChildProcess(const std::vector<std::string>& args, bool ownProcessGroup) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return nullptr;
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return nullptr;
  }
  if (pid == 0) {
    if (ownProcessGroup) setpgid(0, 0);
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, STDIN_FILENO);
    CloseInherited();
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  auto child = std::make_shared<ChildProcess>();
  child->pid = pid;
  child->output = pipeFds[0];
  return child;
}

int ChildOutputWatched(const ChildProcess& child) { return child.output; }

bool DrainChildOutput(ChildProcess& child, std::string& into) {
  char bytes[4096];
  for (;;) {
    const ssize_t got = read(child.output, bytes, sizeof bytes);
    if (got > 0) {
      into.append(bytes, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

int CollectChildStatus(ChildProcess& child) {
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void InterruptChild(ChildProcess& child) { kill(child.pid, SIGINT); }
