// The emulator's own reads, writes and ioctls, straight to the kernel.
//
// The emulator runs under umockdev's preload library, which it needs for
// its look at /sys and for the uevents it sends. That library also wraps
// every read, write and ioctl of the process, to hand those of an emulated
// device node to the emulator: and before asking whether the descriptor is
// one, it masks every signal and unmasks them again after, two more system
// calls around each. The emulator opens none of the nodes it emulates, yet
// its threads make about eleven such calls for every report (GLib's wake-ups
// of umockdev's thread, the nodes' doorbells, the timer), which made the
// masks nearly half of the system calls that serve a report.
//
// Linked into the executable alone, these definitions come before the
// preload library's for every library of the process. The tests' programs,
// which do read emulated nodes, keep the library's.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) { return syscall(SYS_read, fd, buffer, count); }

ssize_t write(int fd, const void* bytes, size_t count) { return syscall(SYS_write, fd, bytes, count); }

// Every request takes at most one argument, a pointer or an integer that
// fits one.
int ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

}  // extern "C"
