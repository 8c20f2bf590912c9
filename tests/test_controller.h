// A controller of the emulator the test process runs under: a hidraw node
// the program under test finds and opens as it would a real controller's
// (directly, or through Wine's HID stack), plugged in, read back and driven
// through the emulator's control commands.
//
// umockdev ends the emulator when a program's udev monitor holds more unread
// uevents than net.unix.max_dgram_qlen (10 unless scripts/setup.sh could
// raise it; the kernel would drop them), and a plug or an unplug sends 4: a
// test lets its run loop turn between every two of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulated_controller.h"

// The reply of the emulator's control channel to one command line, as this
// platform's tests reach it; false when none came (`reply` says why).
bool AskEmulator(const std::string& line, std::string& reply);

class TestController {
 public:
  // Not plugged in yet. Of `config` the vendor, the mode (product 0x5751:
  // the application), version, beta, factory firmware and silence after a
  // chunk count.
  // With `holdAfterChunk` N it holds still once it has acknowledged data
  // command N, as after Hold().
  explicit TestController(ControllerConfig config, uint32_t holdAfterChunk = 0);
  ~TestController();
  TestController(const TestController&) = delete;
  TestController& operator=(const TestController&) = delete;

  bool Plug();
  void Unplug();

  // One input report: the count byte, then `message`.
  void SendMessage(const std::vector<uint8_t>& message);
  // One input report as it stands.
  void SendReport(const Report& report);
  // The controller takes no more reports: writes wait in the kernel.
  void StopReading();
  // It takes what is written but handles none of it, until Release().
  void Hold();
  void Release();

  // Descriptors open on its node.
  std::size_t Openers();
  // Every input report sent has been read.
  bool AllRead();
  std::vector<Report> Written();
  uint32_t DataCommands();
  uint32_t Completions();
  std::size_t Violations();
  bool ImageEquals(const std::vector<uint8_t>& payload);  // not under Wine: the file is the emulator's
  // The emulator's reply to one of its status fields ("open", "data"...).
  uint64_t StatusField(const std::string& name);

 private:
  std::string Command(const std::string& line);

  ControllerConfig config_;
  uint32_t holdAfterChunk_;
  unsigned number_ = 0;  // the emulator's number for it, from its first plug
  bool plugged_ = false;
};
