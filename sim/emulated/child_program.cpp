#include "child_program.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>

extern char** environ;

ChildProgram::~ChildProgram() {
  if (watch_ != 0) g_source_remove(watch_);
}

bool ChildProgram::Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                         bool ownGroup, std::string& error) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // Built here rather than with setenv: umockdev's threads already run.
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name = std::string(*entry).substr(0, std::strcspn(*entry, "=") + 1);
    const bool replaced = std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                                      [&](const std::string& extra) { return extra.rfind(name, 0) == 0; });
    if (!replaced) environment.push_back(*entry);
  }
  for (const std::string& extra : extraEnvironment) environment.push_back(const_cast<char*>(extra.c_str()));
  environment.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The program starts as from a shell: default signal handling, nothing
  // blocked, whatever the emulator set for itself.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD, SIGHUP}) sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (ownGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);
  pid_t pid = -1;
  const int failure = posix_spawnp(&pid, args[0], nullptr, &attributes, args.data(), environment.data());
  posix_spawnattr_destroy(&attributes);
  if (failure != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(failure);
    return false;
  }
  pid_ = pid;
  ownGroup_ = ownGroup;
  watch_ = g_child_watch_add(pid, &ChildProgram::OnChildEnded, this);
  return true;
}

void ChildProgram::Signal(int signal) {
  if (!Running()) return;
  kill(ownGroup_ ? -pid_ : pid_, signal);
}

void ChildProgram::OnChildEnded(GPid, gint status, gpointer self) {
  auto* child = static_cast<ChildProgram*>(self);
  child->ended_ = true;
  child->watch_ = 0;
  g_spawn_close_pid(child->pid_);
  const int passedOn = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
  child->onEnded_(passedOn);
}
