// The program run under the emulated devices: started as a child with the
// environment the testbed set, heard of on the main loop when it ends.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class ChildProgram {
 public:
  // Called once, with the exit status the emulator passes on (128 + signal
  // when the program was killed).
  using OnEnded = std::function<void(int status)>;

  explicit ChildProgram(OnEnded onEnded) : onEnded_(std::move(onEnded)) {}
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // The program gets this process's environment with `extraEnvironment`
  // ("NAME=value") added. With `ownGroup` it leads a process group of its
  // own, so that a signal can reach it and whatever it started.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment, bool ownGroup,
             std::string& error);
  bool Running() const { return pid_ > 0 && !ended_; }
  pid_t Pid() const { return pid_; }
  // To the program only, or to its process group when it has its own.
  void Signal(int signal);

 private:
  static void OnChildEnded(GPid pid, gint status, gpointer self);

  OnEnded onEnded_;
  pid_t pid_ = -1;
  bool ownGroup_ = false;
  bool ended_ = false;
  guint watch_ = 0;
};
