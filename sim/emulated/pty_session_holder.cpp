#include "pty_session_holder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

bool PtySessionHolder::Hold(int ptySlave) {
  Release();
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) {
    close(ready[0]);
    close(ready[1]);
    return false;
  }
  if (child == 0) {
    // Only async-signal-safe calls here: the emulator has threads.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, nullptr);
    sigaction(SIGINT, &ignore, nullptr);
    // The system call itself: umockdev's preload answers ioctls on the
    // emulated node, this one included. A program that opened the node
    // between its uevent and now has it taken away (1), where the emulator
    // may (CAP_SYS_ADMIN).
    const char taken = setsid() >= 0 && syscall(SYS_ioctl, ptySlave, TIOCSCTTY, 1) == 0 ? 1 : 0;
    ssize_t ignored = write(ready[1], &taken, 1);
    (void)ignored;
    for (;;) pause();
  }
  close(ready[1]);
  char taken = 0;
  const bool told = read(ready[0], &taken, 1) == 1;
  close(ready[0]);
  child_ = child;
  if (told && taken == 1) return true;
  Release();
  return false;
}

void PtySessionHolder::Release() {
  if (child_ < 0) return;
  kill(child_, SIGKILL);
  waitpid(child_, nullptr, 0);
  child_ = -1;
}
