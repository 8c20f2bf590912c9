// An emulated hidraw node is a pty, and a pty opened without O_NOCTTY by a
// session leader with no terminal becomes that session's controlling
// terminal: the unplug (the pty hung up) then sends SIGHUP to the program.
// A real hidraw node is no terminal, and Wine's device service, a session
// leader, opens it so and was killed by the unplug. A child of the emulator
// in a session of its own takes the pty as its controlling terminal first,
// ignores the hang-up, and is stopped once the pty has hung up.
#pragma once

#include <sys/types.h>

class PtySessionHolder {
 public:
  PtySessionHolder() = default;
  ~PtySessionHolder() { Release(); }
  PtySessionHolder(const PtySessionHolder&) = delete;
  PtySessionHolder& operator=(const PtySessionHolder&) = delete;

  // False when no child could be started or it could not take the pty.
  bool Hold(int ptySlave);
  void Release();

 private:
  pid_t child_ = -1;
};
