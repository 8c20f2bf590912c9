#include "test_controller.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>


namespace {

std::string Hex(const uint8_t* bytes, std::size_t size) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

}  // namespace

TestController::TestController(ControllerConfig config, uint32_t holdAfterChunk)
    : config_(config), holdAfterChunk_(holdAfterChunk) {}

TestController::~TestController() { Unplug(); }

std::string TestController::Command(const std::string& line) {
  std::string reply;
  if (!AskEmulator(line, reply)) {
    ADD_FAILURE() << "the emulator did not answer '" << line << "': " << reply;
    return "error";
  }
  return reply;
}

bool TestController::Plug() {
  if (plugged_) return true;
  std::string reply;
  if (number_ == 0) {
    char options[192];
    std::snprintf(options, sizeof options, "plug --vendor 0x%04X --device-version %u --device-beta %u%s%s",
                  config_.vendorId, config_.version, config_.beta, config_.factoryFirmware ? " --factory" : "",
                  config_.productId == config_.applicationProductId ? " --application-mode" : "");
    std::string line = options;
    if (config_.fault.kind == FaultKind::Silence && config_.fault.step == ControllerStep::Chunk)
      line += " --silent-at-chunk " + std::to_string(config_.fault.chunk);
    else if (config_.fault.kind != FaultKind::None)
      ADD_FAILURE() << "no such fault for a test controller yet";
    if (holdAfterChunk_ != 0) line += " --hold-after-chunk " + std::to_string(holdAfterChunk_);
    reply = Command(line);
    if (reply.rfind("ok controller ", 0) != 0) return false;
    number_ = static_cast<unsigned>(std::strtoul(reply.c_str() + 14, nullptr, 10));
  } else {
    reply = Command("attach " + std::to_string(number_));
    if (reply.rfind("ok", 0) != 0) return false;
  }
  plugged_ = true;
  return true;
}

void TestController::Unplug() {
  if (!plugged_) return;
  Command("unplug " + std::to_string(number_));
  plugged_ = false;
}

void TestController::SendMessage(const std::vector<uint8_t>& message) {
  std::vector<uint8_t> report{static_cast<uint8_t>(message.size())};
  report.insert(report.end(), message.begin(), message.end());
  EXPECT_EQ(Command("send " + std::to_string(number_) + " " + Hex(report.data(), report.size())), "ok sent");
}

void TestController::SendReport(const Report& report) {
  EXPECT_EQ(Command("send " + std::to_string(number_) + " " + Hex(report.data(), report.size())), "ok sent");
}

void TestController::StopReading() { EXPECT_EQ(Command("stop-reading " + std::to_string(number_)), "ok"); }
void TestController::Hold() { EXPECT_EQ(Command("hold " + std::to_string(number_)), "ok held"); }
void TestController::Release() { EXPECT_EQ(Command("release " + std::to_string(number_)), "ok released"); }

uint64_t TestController::StatusField(const std::string& name) {
  const std::string status = Command("status " + std::to_string(number_));
  const std::size_t at = status.find(" " + name + "=");
  if (at == std::string::npos) {
    ADD_FAILURE() << "no " << name << " in '" << status << "'";
    return 0;
  }
  return std::strtoull(status.c_str() + at + name.size() + 2, nullptr, 10);
}

std::size_t TestController::Openers() { return plugged_ ? StatusField("open") : 0; }
bool TestController::AllRead() { return StatusField("queued") == 0; }
uint32_t TestController::DataCommands() { return static_cast<uint32_t>(StatusField("data")); }
uint32_t TestController::Completions() { return static_cast<uint32_t>(StatusField("completions")); }
std::size_t TestController::Violations() { return StatusField("violations") + StatusField("wire_violations"); }

std::vector<Report> TestController::Written() {
  std::vector<Report> written;
  if (number_ == 0) return written;
  const std::string reply = Command("written " + std::to_string(number_));
  // "ok N" and N reports of 128 hexadecimal digits.
  std::size_t at = reply.find(' ', 3);
  while (at != std::string::npos && at + 1 + 2 * kReportSize <= reply.size()) {
    Report report{};
    for (std::size_t i = 0; i < kReportSize; ++i)
      report[i] = static_cast<uint8_t>(std::strtoul(reply.substr(at + 1 + 2 * i, 2).c_str(), nullptr, 16));
    written.push_back(report);
    at = reply.find(' ', at + 1);
  }
  return written;
}

#ifndef _WIN32
bool TestController::ImageEquals(const std::vector<uint8_t>& payload) {
  char path[] = "/tmp/kvimage-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  close(fd);
  const bool kept = Command("image " + std::to_string(number_) + " " + path).rfind("ok", 0) == 0;
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path);
  return kept && image == payload;
}
#endif
