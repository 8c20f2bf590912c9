// korvid-emulated-controller's whole: the testbed, one controller service
// per emulated controller with its link, the devices that are not ours, the
// control channel and the program run under it, all on one GLib main loop,
// and the calls of programs answered on umockdev's thread (see CallDesk).
#pragma once

#include <glib.h>

#include <memory>
#include <string>
#include <vector>

#include "call_desk.h"
#include "child_program.h"
#include "emulated_link.h"
#include "emulator_options.h"
#include "microsecond_timer.h"
#include "poll_set_source.h"
#include "testbed.h"
#include "unix_control_channel.h"

// The environment variable that tells PROGRAM the control channel's socket.
extern const char kControlEnvironment[];

class Emulator {
 public:
  explicit Emulator(EmulatorOptions options);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Makes the testbed, plugs in the devices, opens the control channel and
  // starts PROGRAM; false with `error` set when something cannot be made.
  bool Start(std::string& error);
  // Serves until quit or a stop signal (without PROGRAM) or PROGRAM's end.
  // Returns the exit status: 0, or PROGRAM's.
  int Run();

  // One control command line, one reply line (no line feed).
  std::string Control(const std::string& line);

 private:
  struct Controller;

  bool PlugExtra(ExtraDevice extra, unsigned port, std::string& error);
  Controller& AddController(unsigned port, unsigned returnPort, ServiceOptions service, uint32_t shortReportAtChunk,
                            mode_t mode);
  std::string PlugNew(const std::string& options);
  std::string ControllerCommand(const ControlCommand& command, Controller& controller, unsigned k);
  void Answer(const HandedCall& call);
  void ServeControllers();
  void OnStopSignal(int signal);
  void Quit();
  void Shutdown();

  static gboolean OnSigint(gpointer self);
  static gboolean OnSigterm(gpointer self);

  EmulatorOptions options_;
  GMainLoop* loop_;
  CallDesk desk_;
  std::unique_ptr<Testbed> testbed_;
  std::vector<std::unique_ptr<EmulatedDevice>> retired_;  // unplugged, still answering as pulled out
  std::vector<std::unique_ptr<Controller>> controllers_;
  std::vector<std::unique_ptr<EmulatedDevice>> extras_;
  unsigned nextPort_ = 1;  // the USB port a controller plugged in by `plug` takes
  MicrosecondTimer timer_;
  UnixControlChannel control_;
  std::unique_ptr<PollSetSource> controlSource_;
  ChildProgram program_;
  guint signalWatches_[2] = {0, 0};
  bool stopSignalled_ = false;
  int exitStatus_ = 0;
  bool shutDown_ = false;
};
