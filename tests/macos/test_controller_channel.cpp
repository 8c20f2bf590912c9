// The emulator's control channel as Tindro's tests reach it: its Unix socket,
// named by the emulator they run under.
#include <cstdlib>

#include "test_controller.h"
#include "unix_control_channel.h"

bool AskEmulator(const std::string& line, std::string& reply) {
  const char* path = std::getenv("KORVID_EMULATOR_CONTROL");
  if (path == nullptr) {
    reply = "not run under korvid-emulated-controller";
    return false;
  }
  std::string error;
  if (SendControlCommand(path, line, 5000, reply, error)) return true;
  reply = error;
  return false;
}
