#include "controller_channel.h"

#include <windows.h>

#include <cstdio>

std::optional<std::string> AskController(const std::string& command) {
  // What the C library holds back goes first, so that no line of it is cut
  // by the request.
  std::fflush(stdout);
  const std::string request = "control: " + command + "\n";
  DWORD written = 0;
  if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), request.data(), static_cast<DWORD>(request.size()), &written,
                 nullptr))
    return std::nullopt;
  // One byte at a time: what follows the line belongs to the next reply.
  std::string reply;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    char c = 0;
    DWORD read = 0;
    if (!ReadFile(input, &c, 1, &read, nullptr) || read == 0) return std::nullopt;
    if (c == '\n') return reply;
    if (c != '\r') reply += c;
  }
}
