// The controller server's control channel here: a Unix stream socket that
// takes command lines and answers each with one reply line.
#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

class UnixControlChannel {
 public:
  // A command line without its line feed in, the reply without its line feed out.
  using Handler = std::function<std::string(const std::string&)>;

  explicit UnixControlChannel(Handler handler) : handler_(std::move(handler)) {}
  ~UnixControlChannel() { Close(); }
  UnixControlChannel(const UnixControlChannel&) = delete;
  UnixControlChannel& operator=(const UnixControlChannel&) = delete;

  // Listens at `path`; false with `error` set when it cannot.
  bool Open(const std::string& path, std::string& error);
  // Stops listening, drops every client and removes the socket file.
  void Close();

  void AddPollFds(std::vector<pollfd>& fds) const;
  void HandleEvents(const std::vector<pollfd>& fds);

 private:
  struct Client {
    int fd = -1;
    std::string pending;  // bytes of a line not yet ended
  };

  void Accept();
  // False when the client is gone or misbehaved.
  bool Serve(Client& client);
  void Drop(int fd);

  Handler handler_;
  std::string path_;
  int listener_ = -1;
  std::vector<Client> clients_;
};

// Client side: sends one command line to the channel at `path` and waits, at
// most `timeoutMs`, for its reply. False with `error` set when there is none.
bool SendControlCommand(const std::string& path, const std::string& command, int timeoutMs, std::string& reply,
                        std::string& error);

// A program's --send: the reply on stdout, or what went wrong on stderr
// after `program`. The exit status: 0 for a reply, 1 for an "error" reply,
// 2 when no reply came.
int SendControlCommandAndPrint(const char* program, const std::string& path, const std::string& command);

// "--send SOCKET WORD..." at args[i]: the socket and the rest of the line as
// one command. False when a socket or a command is missing.
bool ReadSendArguments(const std::vector<std::string>& args, std::size_t i, std::string& path, std::string& command);
