// The emulator's control channel as tests under Wine reach it: a request on
// standard output, answered on standard input by the script that started
// the test (tests/windows/under_wine_hid.sh).
#include "driver/controller_channel.h"
#include "test_controller.h"

bool AskEmulator(const std::string& line, std::string& reply) {
  const std::optional<std::string> answer = AskController(line);
  if (!answer) {
    reply = "no answer on standard input";
    return false;
  }
  reply = *answer;
  return true;
}
