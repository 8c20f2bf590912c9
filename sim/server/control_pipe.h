// The server's control channel on Windows: a named pipe of its own, one
// command line in, one reply line out (ControllerService::Control), and the
// client that the same program becomes with --send.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "overlapped_pipe.h"

class ControlChannel {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  bool Open(const std::wstring& path);
  void AppendWaitHandles(std::vector<HANDLE>& handles) const;
  void Service(const Handler& handler);
  // Replies written and not yet read by their client; the server lingers
  // for them before it ends.
  bool RepliesInFlight() const;

 private:
  std::wstring path_;
  std::vector<std::unique_ptr<OverlappedPipe>> instances_;
};

// Sends one command to the server listening on `path` and returns its reply
// line (without the line feed); nothing when no server answered in time.
std::optional<std::string> SendControlCommand(const std::wstring& path, const std::string& command, DWORD timeoutMs);
