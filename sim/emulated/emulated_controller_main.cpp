// korvid-emulated-controller: simulated Korvid controllers served as Linux
// hidraw devices emulated with umockdev, for testing a front-end's hidraw
// device layer against kernel-like devices. A test tool, not a deliverable.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "controller_options.h"
#include "emulator.h"
#include "emulator_options.h"
#include "unix_control_channel.h"

namespace {

constexpr int kExitUsage = 2;

// umockdev sends uevents, and redirects this program's own look at /sys,
// only through its preload library.
bool UnderUmockdevWrapper() { return dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD) != nullptr; }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  EmulatorOptions options;
  const std::string error = ParseEmulatorCommandLine(args, options);
  if (!error.empty() || options.help) {
    std::FILE* out = error.empty() ? stdout : stderr;
    if (!error.empty()) std::fprintf(out, "korvid-emulated-controller: %s\n", error.c_str());
    std::fprintf(out, "%s%s", kEmulatorUsage, kControllerOptionsUsage);
    std::fprintf(out,
                 "Control commands (K: controller number, default 1): status [K], attach [K], unplug [K],\n"
                 "reattach [K], hold [K] (controller K takes the reports written to it but handles none,\n"
                 "as a controller busy with something else), release [K] (it handles them, in order),\n"
                 "image [K] FILE, violations [K], stats [K], quit (with PROGRAM: PROGRAM\n"
                 "gets SIGTERM), input [K] N (N input reports from controller K that answer nothing,\n"
                 "numbered from 1 in bytes 0-3, little-endian), short [K] (one 8-byte input report, which\n"
                 "the kernel drops), clocks (CLOCK_MONOTONIC, on which the stats are, and\n"
                 "CLOCK_MONOTONIC_RAW, on which Wine's performance counter is, in microseconds),\n"
                 "plug OPTIONS (one more controller, plugged in on a port of its own, configured by\n"
                 "controller options, --vendor V, --application-mode and --hold-after-chunk N alone;\n"
                 "replies \"ok controller K\"),\n"
                 "written [K] (the reports written to controller K, hexadecimal, the first 512),\n"
                 "send [K] HEX (one input report of at most 64 bytes), stop-reading [K] (controller K\n"
                 "takes no more reports: writes fail after 5 s with ETIMEDOUT).\n"
                 "PROGRAM finds the control socket in $%s.\n"
                 "SIGINT or SIGTERM with PROGRAM running: passed on with --forward-signals; otherwise\n"
                 "the emulator waits for PROGRAM (which shares its process group) to end, and a second\n"
                 "signal kills PROGRAM.\n"
                 "Exit status: PROGRAM's (128 + signal when it was killed); without PROGRAM 0 after quit,\n"
                 "SIGINT or SIGTERM; 2 for bad usage, outside umockdev-wrapper, or when the testbed\n"
                 "cannot be made. With --send: 0 for a reply, 1 for an error reply, 2 for none.\n",
                 kControlEnvironment);
    return error.empty() ? 0 : kExitUsage;
  }
  if (!options.sendPath.empty())
    return SendControlCommandAndPrint("korvid-emulated-controller", options.sendPath, options.sendCommand);

  if (!UnderUmockdevWrapper()) {
    std::fprintf(stderr,
                 "korvid-emulated-controller: not under umockdev-wrapper (the umockdev preload library is not "
                 "loaded); run: umockdev-wrapper %s ...\n",
                 argv[0]);
    return kExitUsage;
  }
  Emulator emulator(std::move(options));
  std::string failure;
  if (!emulator.Start(failure)) {
    std::fprintf(stderr, "korvid-emulated-controller: %s\n", failure.c_str());
    return kExitUsage;
  }
  return emulator.Run();
}
