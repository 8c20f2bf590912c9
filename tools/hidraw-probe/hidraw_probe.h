// What a hidraw node does, asked of it the same way on the real kernel and
// on the emulated controller: the answers as "key: value" lines whose values
// do not depend on timing beyond the stated classes, so two transcripts can
// be compared line by line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The device side of the node: a simulated controller behind a control
// channel (the gadget bridge in the guest, the emulator on the host).
class ProbePeer {
 public:
  virtual ~ProbePeer() = default;
  // One control command's reply; empty when none came.
  virtual std::string Send(const std::string& command) = 0;
};

// A field of a status reply ("reports=12 ..."), or -1 when absent.
long StatusField(const std::string& status, const std::string& field);

// The class a duration falls in, in words stable across machines:
// "under 1 s", "1 to 4 s", "4 to 7 s", "7 s or more".
std::string DurationClass(double seconds);

// errno's symbolic name ("ENOTTY"), or the number for an unknown one.
std::string ErrnoName(int error);

// poll(2) revents as "IN|ERR|HUP", "none" for 0.
std::string PollFlags(short revents);

// The parts of the probe: each prints its lines through `out`.
//   basic: identity and descriptor ioctls, unknown ioctls, write and read
//          sizes, queue overflow, a short input report (the peer's control
//          command "short"), unplug order.
//   stall: a write the device never takes (the peer must stop reading at
//          data command 1).
using ProbeOutput = std::function<void(const std::string& key, const std::string& value)>;
// `gadgetPeer`: the device side is the gadget bridge, which hands answers to
// the host as it fetches them (the emulator queues them on the node at once).
int RunBasicProbe(const std::string& node, ProbePeer& peer, bool gadgetPeer, const ProbeOutput& out);
int RunStallProbe(const std::string& node, ProbePeer& peer, const ProbeOutput& out);

// Lines whose key starts so tell what the device side did (the gadget's
// buffers, the emulator's), not what hidraw does: printed, never compared.
constexpr char kDeviceSideKeyPrefix[] = "device-";

// Two transcripts compared by key: one line per difference, in the first's
// order then the keys only the second has. Empty when they agree.
std::vector<std::string> CompareTranscripts(const std::vector<std::string>& kernel,
                                            const std::vector<std::string>& emulated);
