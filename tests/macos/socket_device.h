// A device the way the controller server serves it (unix_hid_protocol.h), in
// the test's own process: a socket file in the device folder, a descriptor
// for every connection, a simulated controller answering the output reports.
// Everything happens in Poll(), which the tests' run-loop helpers call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "simulated_controller.h"

class SocketDevice {
 public:
  SocketDevice(std::filesystem::path folder, std::string name, ControllerConfig config);
  ~SocketDevice();
  SocketDevice(const SocketDevice&) = delete;
  SocketDevice& operator=(const SocketDevice&) = delete;

  // The socket appears and accepts connections.
  bool Plug();
  // The socket file appears but takes no connection until Listen().
  bool PlugWithoutListening();
  bool Listen();
  // Every connection closes and the socket file goes.
  void Unplug();
  // The connections close; the socket stays.
  void CloseConnections();
  // Connections that come in get the descriptor; reports that came in go to
  // the controller, whose answers go out to every connection.
  void Poll();
  static void PollAll();

  // One input report (count byte, then `message`) to every connection.
  void SendMessage(const std::vector<uint8_t>& message);
  // The device stops taking reports: the application's writes fail.
  void RefuseReports();
  // The device stops reading and answering, the connections kept open
  // (a controller that hangs), until Resume().
  void Pause() { paused_ = true; }
  void Resume() { paused_ = false; }
  // The application has read everything sent to it (the descriptor, reports).
  bool AllRead() const;

  SimulatedController& Controller() { return controller_; }
  const std::vector<Report>& Written() const { return written_; }
  std::size_t Connections() const { return connections_.size(); }
  // Connections the application closed.
  std::size_t Hangups() const { return hangups_; }

 private:
  void SendReport(const Report& report);

  std::filesystem::path path_;
  ControllerConfig config_;
  SimulatedController controller_;
  int listener_ = -1;
  std::vector<int> connections_;
  std::vector<Report> written_;
  std::size_t hangups_ = 0;
  bool refusing_ = false;
  bool paused_ = false;
  bool listening_ = false;
};
