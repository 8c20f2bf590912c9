// The probe's wording and its comparison: two transcripts agree only where
// every line does, and each difference is named once, whichever side has it.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>

#include "hidraw_probe.h"

namespace {

struct CompareCase {
  const char* name;
  std::vector<std::string> kernel;
  std::vector<std::string> emulated;
  std::vector<std::string> differences;
};

class CompareTranscriptsTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareTranscriptsTest, NamesEachDifference) {
  EXPECT_EQ(CompareTranscripts(GetParam().kernel, GetParam().emulated), GetParam().differences);
}

INSTANTIATE_TEST_SUITE_P(
    Transcripts, CompareTranscriptsTest,
    ::testing::Values(
        CompareCase{"Agree", {"a: 1", "b: x y"}, {"a: 1", "b: x y"}, {}},
        CompareCase{"OrderOfLinesDoesNotMatter", {"a: 1", "b: 2"}, {"b: 2", "a: 1"}, {}},
        CompareCase{"ValueDiffers",
                    {"read: errno EIO"},
                    {"read: errno ENODEV"},
                    {"read: kernel \"errno EIO\", emulator \"errno ENODEV\""}},
        CompareCase{"OnlyTheKernelHasIt", {"a: 1", "next: x"}, {"a: 1"}, {"next: kernel \"x\", emulator nothing"}},
        CompareCase{"OnlyTheEmulatorHasIt", {"a: 1"}, {"extra: y", "a: 1"}, {"extra: kernel nothing, emulator \"y\""}},
        CompareCase{"KernelOrderThenTheEmulatorsOwn",
                    {"z: 1", "a: 1"},
                    {"b: 0", "a: 2", "z: 2"},
                    {"z: kernel \"1\", emulator \"2\"", "a: kernel \"1\", emulator \"2\"",
                     "b: kernel nothing, emulator \"0\""}},
        // The first line of a key counts; a value may hold ": " itself.
        CompareCase{"FirstOfARepeatedKeyAndColonsInValues", {"k: a: b", "k: ignored"}, {"k: a: b"}, {}},
        CompareCase{"LinesWithoutAKeyAreNotCompared", {"noise", "a: 1"}, {"a: 1", "other noise"}, {}},
        // What the device side did is told, not compared; a key that merely
        // contains the prefix is compared.
        CompareCase{"DeviceSideLinesAreNotCompared",
                    {"device-buffers: 4", "stall-device-x: 1"},
                    {"device-buffers: 0", "stall-device-x: 2"},
                    {"stall-device-x: kernel \"1\", emulator \"2\""}}),
    [](const ::testing::TestParamInfo<CompareCase>& info) { return std::string(info.param.name); });

struct FieldCase {
  const char* status;
  const char* field;
  long value;
};

TEST(StatusField, ReadsWholeFieldsOnly) {
  const FieldCase cases[] = {
      {"attached=1 reports=15 read_failed=0", "reports", 15},
      {"attached=1 reports=15 read_failed=0", "attached", 1},
      // "failed=" is inside "read_failed=": not the field.
      {"attached=1 read_failed=7", "failed", -1},
      {"queued=0 odd_reads=2", "queued", 0},
      {"queued=0 odd_reads=2", "reads", -1},
      {"", "reports", -1},
      {"error unknown command: status", "reports", -1},
  };
  for (const FieldCase& c : cases) EXPECT_EQ(StatusField(c.status, c.field), c.value) << c.status << " / " << c.field;
}

TEST(DurationClass, BoundsOfEachClass) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "under 1 s"}, {0.999, "under 1 s"}, {1.0, "1 to 4 s"},    {3.99, "1 to 4 s"},
      {4.0, "4 to 7 s"},  {5.02, "4 to 7 s"},   {7.0, "7 s or more"}, {60.0, "7 s or more"},
  };
  for (const auto& c : cases) EXPECT_EQ(DurationClass(c.first), c.second) << c.first;
}

TEST(PollFlags, InAFixedOrder) {
  const std::pair<short, const char*> cases[] = {
      {0, "none"},
      {POLLIN, "IN"},
      {static_cast<short>(POLLHUP | POLLIN | POLLERR), "IN|ERR|HUP"},
      {static_cast<short>(POLLOUT | POLLERR | POLLHUP), "OUT|ERR|HUP"},
      {POLLNVAL, "NVAL"},
  };
  for (const auto& c : cases) EXPECT_EQ(PollFlags(c.first), c.second) << c.first;
}

TEST(ErrnoName, TheErrorsHidrawGivesByName) {
  const std::pair<int, const char*> cases[] = {
      {ENOTTY, "ENOTTY"},       {EIO, "EIO"},       {ENODEV, "ENODEV"}, {EPROTO, "EPROTO"},
      {ETIMEDOUT, "ETIMEDOUT"}, {EAGAIN, "EAGAIN"}, {EINVAL, "EINVAL"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrnoName(c.first), c.second);
  EXPECT_EQ(ErrnoName(4095), "4095");
}

}  // namespace
