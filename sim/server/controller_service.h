// The simulated controller served as a device, for a real front-end running
// in another process (korvid-update, Tindro against GNUstep, update.exe
// under Wine).
//
// The link (an emulated hidraw node, a USB gadget) moves the reports and
// makes the device appear and vanish; this is everything else:
// the controller itself, the pace of a full-speed USB link, leaving BOOT mode
// after the completion command, and the control commands of the tests.
//
// Single-threaded: the link's event loop calls every member, with a clock in
// microseconds from any fixed origin.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>

#include "simulated_controller.h"

struct DeviceIdentity {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

// What the service asks of the platform's link.
class DeviceLink {
 public:
  virtual ~DeviceLink() = default;
  // The device appears: its path comes into being and front-ends learn of it.
  virtual bool Appear(const DeviceIdentity& identity) = 0;
  // The device goes: open handles fail, its path disappears, front-ends learn of it.
  virtual void Vanish() = 0;
  // One input report to every handle open on the device, as a HID device does.
  virtual void SendInput(const Report& report) = 0;
  // The device takes no more output reports: once what the link holds is
  // full, the front-end's writes wait. Until the device appears again.
  virtual void StopReading() = 0;
};

struct ServiceOptions {
  ControllerConfig controller;
  bool attachAtStart = true;
  // Full-speed USB: the controller takes at most one report and answers at
  // most one per 1 ms frame, at frame boundaries.
  bool paced = false;
  // After the completion command the controller restarts into its
  // application: gone at once, back with the application product id after this.
  uint64_t returnDelayUs = 500000;
  // From data command N on (0: never) the controller answers nothing and
  // reads no more output reports, as a device whose firmware hangs.
  uint32_t stopReadingAtChunk = 0;
  // Data command N (0: never) is acknowledged, then no output report more
  // is read: the program's next write waits in the kernel.
  uint32_t stopReadingAfterChunk = 0;
  // Data command N (0: never) is acknowledged, then the controller holds
  // still as after the control command hold, until release.
  uint32_t holdAfterChunk = 0;
};

// What a benchmark reads off a run.
struct ServiceStats {
  uint64_t reportsTaken = 0;  // output reports the controller took, all kinds
  std::optional<uint64_t> headerAtUs;
  std::optional<uint64_t> completionAtUs;
  uint64_t reportsTakenAtHeader = 0;  // reportsTaken when the header was taken
  uint64_t reportsTakenAtCompletion = 0;
  // When the planned fault struck (silence, unplug, failure event, reading
  // stopped): the event a test times the front-end's answer from.
  std::optional<uint64_t> faultAtUs;
};

class ControllerService {
 public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
  static constexpr uint64_t kFrameUs = 1000;

  ControllerService(ServiceOptions options, DeviceLink& link);

  // Plugs the controller in, unless it is to be attached later.
  void Start(uint64_t nowUs);

  // An output report the front-end wrote.
  void OnOutputReport(const Report& report, uint64_t nowUs);

  // Does what is due by now; returns when the next work is due (kNever: none).
  uint64_t Poll(uint64_t nowUs);

  // One control command, one reply line (no line feed):
  //   status          attached=1 boot=1 vid=0x2DC8 pid=0x5750 header=1 data=12 completions=1
  //                   image=384 payload=384 violations=0 fault=0 reports=15 read_failed=0
  //   attach          plug the controller in (in BOOT mode)
  //   unplug          pull it out
  //   reattach        unplug, then attach
  //   hold            the controller takes the reports written to it but handles
  //                   none, as one busy with something else
  //   release         it handles what it took meanwhile, in order, and goes on
  //   image FILE      write the bytes the controller kept as its image to FILE
  //   violations      the wire rules the updater broke, "; "-separated
  //   stats           the figures of ServiceStats, microseconds (on the clock the
  //                   service is given) and counts
  //   quit            end the server
  // Replies start with "ok" or "error" except for status, violations and stats.
  std::string Control(const std::string& line, uint64_t nowUs);

  bool QuitRequested() const { return quit_; }
  bool Attached() const { return linkUp_; }
  const ServiceStats& Stats() const { return stats_; }
  const SimulatedController* Controller() const { return controller_ ? &*controller_ : nullptr; }

 private:
  void Attach(uint64_t nowUs);
  void Detach();
  void Take(const Report& report, uint64_t nowUs);
  void CollectAnswers();
  void SendOneAnswer();
  void FollowTheController(uint64_t nowUs);
  void Release(uint64_t nowUs);
  void Appear();
  uint64_t NextBoundary(uint64_t nowUs) const;
  bool FrameFree(uint64_t frame) const { return !lastFrameServed_ || frame > *lastFrameServed_; }
  std::string Status() const;

  ServiceOptions options_;
  DeviceLink& link_;
  std::optional<SimulatedController> controller_;
  bool linkUp_ = false;
  uint16_t shownProductId_ = 0;  // the product id front-ends see while the link is up
  bool quit_ = false;
  bool reading_ = true;          // the controller takes output reports
  bool readingStopped_ = false;  // the stop-reading fault has struck
  bool held_ = false;            // reports written wait in taken_
  bool heldAtChunk_ = false;     // the hold after a chunk has struck
  std::optional<uint64_t> returnAtUs_;

  struct Pending {
    Report report;
    uint64_t atUs;
  };
  std::deque<Pending> taken_;                // paced: written, not yet taken
  std::deque<Report> answers_;               // paced: answered, not yet sent
  std::optional<uint64_t> lastFrameServed_;  // paced: the frame whose boundary last took or sent a report

  ServiceStats stats_;
};

// A control command line split into its word and the rest.
struct ControlCommand {
  std::string word;
  std::string argument;
};
ControlCommand ParseControlCommand(const std::string& line);
