// The controller's device as a Unix socket: one SOCK_SEQPACKET socket file
// "<name>.hid" in the device folder, spoken as unix_hid_protocol.h says.
// Any number of front-ends may hold it open; each gets every input report.
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "controller_service.h"

class UnixSocketLink final : public DeviceLink {
 public:
  // A front-end that stops reading loses its oldest reports beyond this many,
  // as a HID device's host buffer does; the others are not held back.
  static constexpr std::size_t kBacklogReports = 64;

  using OutputSink = std::function<void(const Report&)>;

  UnixSocketLink(std::string deviceDir, const std::string& name, OutputSink sink);
  ~UnixSocketLink() override;
  UnixSocketLink(const UnixSocketLink&) = delete;
  UnixSocketLink& operator=(const UnixSocketLink&) = delete;

  bool Appear(const DeviceIdentity& identity) override;
  void Vanish() override;
  void SendInput(const Report& report) override;
  void StopReading() override;

  // The event loop's part: the descriptors to watch, and what they brought.
  // Output reports go to the sink, which may make the device vanish.
  void AddPollFds(std::vector<pollfd>& fds) const;
  void HandleEvents(const std::vector<pollfd>& fds);

  const std::string& SocketPath() const { return path_; }
  bool Present() const { return listener_ >= 0; }
  std::size_t Connections() const { return connections_.size(); }
  uint64_t DroppedReports() const { return dropped_; }
  // Why the last Appear failed.
  const std::string& LastError() const { return error_; }

 private:
  struct Connection {
    int fd = -1;
    std::deque<Report> backlog;  // input reports the front-end has not taken yet
  };

  void Accept();
  // False when the connection is gone.
  bool ReadFrom(int fd);
  bool Flush(Connection& connection);
  void Close(int fd);
  Connection* Find(int fd);

  std::string deviceDir_;
  std::string path_;
  OutputSink sink_;
  std::string descriptor_;
  int listener_ = -1;
  bool reading_ = true;
  std::vector<Connection> connections_;
  uint64_t generation_ = 0;  // counts vanishings, so that a handler notices one
  uint64_t dropped_ = 0;
  std::string error_;
};
