// korvid-update's own parts, without devices: what a person or a parent
// process is shown of the progress, device-supplied text made safe for a
// terminal and for JSON, and what a child process is given.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "device_text.h"
#include "progress_view.h"
#include "sha256.h"

namespace {

// Started by the ChildProcess cases as their child (this program again):
// lists the descriptors it has beyond standard input, output and error, and
// ends before any test runs.
constexpr char kListDescriptors[] = "KORVID_TEST_LIST_DESCRIPTORS";
const bool kListedDescriptors = [] {
  if (std::getenv(kListDescriptors) == nullptr) return false;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) _exit(3);
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] != '.' && fd > STDERR_FILENO && fd != dirfd(dir)) std::printf("%d ", fd);
  }
  std::fflush(stdout);
  _exit(0);
}();

// What a view wrote, from a stream in memory.
class Captured {
 public:
  Captured() : file_(open_memstream(&data_, &size_)) {}
  ~Captured() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(data_);
  }
  std::FILE* File() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// The percentages a view's output shows, whatever its style.
std::set<unsigned> PercentsShown(const std::string& text, ProgressStyle style) {
  std::set<unsigned> shown;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of(style == ProgressStyle::Terminal ? "\r\n" : "\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(at, end - at);
    at = end + 1;
    unsigned percent = 0;
    if (style == ProgressStyle::ForParent) {
      Progress progress;
      std::string said;
      bool isProgress = false;
      if (ParseParentLine(piece, progress, said, isProgress) && isProgress) shown.insert(progress.percent);
    } else {
      const std::size_t text_at = piece.rfind("\033[K");
      const std::string line = text_at == std::string::npos ? piece : piece.substr(text_at + 3);
      if (std::sscanf(line.c_str(), "%u%%", &percent) == 1) shown.insert(percent);
    }
  }
  return shown;
}

class ProgressViews : public ::testing::TestWithParam<ProgressStyle> {};

// A 256 KiB transfer reported after every chunk, a millisecond apart, as
// the engine does: every percent, the last one too, reaches the watcher,
// and it is not drawn once per chunk.
TEST_P(ProgressViews, ShowEveryPercentIncludingTheLastButNotEveryChunk) {
  Captured out;
  auto view = MakeProgressView(GetParam(), out.File());
  constexpr std::uint64_t kTotal = 256 * 1024, kChunk = 32;
  for (std::uint64_t sent = kChunk, ms = 1; sent <= kTotal; sent += kChunk, ++ms)
    view->Update(Progress{static_cast<std::uint32_t>(sent * 100 / kTotal), sent, kTotal, ms});
  view->Finish();
  const std::string text = out.Text();

  std::set<unsigned> every;
  for (unsigned p = 0; p <= 100; ++p) every.insert(p);
  EXPECT_EQ(PercentsShown(text, GetParam()), every);
  const auto draws = std::count(text.begin(), text.end(), GetParam() == ProgressStyle::Terminal ? '\r' : '\n');
  EXPECT_LT(draws, 8192 / 4) << "drawn for most of the 8192 chunks";
  if (GetParam() != ProgressStyle::ForParent) {
    EXPECT_NE(text.find("262144 / 262144 bytes"), std::string::npos);
  }
}

// The same percent for a long time (a slow controller): the rate and time
// left are refreshed, though no new percent came.
TEST_P(ProgressViews, RefreshAStalledPercentOnlyWhereTheLineRedraws) {
  Captured out;
  auto view = MakeProgressView(GetParam(), out.File());
  for (std::uint64_t ms = 0; ms <= 2000; ms += 10) view->Update(Progress{7, 1000 + ms, 100000, ms});
  const std::string text = out.Text();
  const auto draws = std::count(text.begin(), text.end(), GetParam() == ProgressStyle::Terminal ? '\r' : '\n');
  if (GetParam() == ProgressStyle::Plain) {
    EXPECT_EQ(draws, 1) << "plain lines: one per percent";
  } else {
    EXPECT_GE(draws, 6) << "two seconds at one percent, refreshed every quarter second";
    EXPECT_LE(draws, 10);
  }
}

INSTANTIATE_TEST_SUITE_P(EachStyle, ProgressViews,
                         ::testing::Values(ProgressStyle::Terminal, ProgressStyle::Plain, ProgressStyle::ForParent),
                         [](const auto& info) {
                           return info.param == ProgressStyle::Terminal ? "Terminal"
                                  : info.param == ProgressStyle::Plain  ? "Plain"
                                                                        : "ForParent";
                         });

TEST(ProgressViews, ALineSaidForTheParentStaysOneLine) {
  Captured out;
  auto view = MakeProgressView(ProgressStyle::ForParent, out.File());
  view->Say("two\nlines\r");
  Progress progress;
  std::string said;
  bool isProgress = true;
  const std::string text = out.Text();
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  ASSERT_TRUE(ParseParentLine(text.substr(0, text.size() - 1), progress, said, isProgress));
  EXPECT_FALSE(isProgress);
  EXPECT_EQ(said, "two lines ");
}

struct DeviceTextCase {
  const char* name;
  std::string raw;
  std::string terminal;
  std::string json;
};

class DeviceText : public ::testing::TestWithParam<DeviceTextCase> {};

TEST_P(DeviceText, IsEscapedForTheTerminalAndForJson) {
  EXPECT_EQ(TerminalSafe(GetParam().raw), GetParam().terminal);
  EXPECT_EQ(JsonString(GetParam().raw), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeviceText,
    ::testing::Values(
        DeviceTextCase{"plain", "Korvid Controller (BOOT)", "Korvid Controller (BOOT)", "\"Korvid Controller (BOOT)\""},
        DeviceTextCase{"quote_and_backslash", "a\"b\\c", "a\"b\\\\c", "\"a\\\"b\\\\c\""},
        DeviceTextCase{"escape_sequence", "x\033[2J\033]0;t\007", "x\\x1b[2J\\x1b]0;t\\x07",
                       "\"x\\u001b[2J\\u001b]0;t\\u0007\""},
        DeviceTextCase{"newline_and_delete", "a\nb\x7f", "a\\x0ab\\x7f", "\"a\\u000ab\\u007f\""},
        DeviceTextCase{"c1_control_in_utf8", "a\xc2\x9b" "2J", "a\\u009b2J", "\"a\\u009b2J\""},
        DeviceTextCase{"utf8_kept", "\xe6\x89\x8b\xe6\x9f\x84 \xf0\x9f\x8e\xae", "\xe6\x89\x8b\xe6\x9f\x84 \xf0\x9f\x8e\xae",
                       "\"\xe6\x89\x8b\xe6\x9f\x84 \xf0\x9f\x8e\xae\""},
        DeviceTextCase{"raw_c1_byte", "a\x9b" "b", "a\\x9bb", "\"a\\ufffdb\""},
        DeviceTextCase{"truncated_sequence", "a\xe6\x89", "a\\xe6\\x89", "\"a\\ufffd\\ufffd\""},
        DeviceTextCase{"overlong_slash", "\xc0\xaf", "\\xc0\\xaf", "\"\\ufffd\\ufffd\""},
        DeviceTextCase{"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        DeviceTextCase{"nul_inside", std::string("a\0b", 3), "a\\x00b", "\"a\\u0000b\""}),
    [](const auto& info) { return std::string(info.param.name); });

// Paths keep their backslashes, so that a Windows interface path shown can
// be given back; what could drive the terminal is escaped as in names.
TEST(DevicePathText, KeepsBackslashesAndEscapesControls) {
  const std::pair<std::string, std::string> cases[] = {
      {"/dev/hidraw0", "/dev/hidraw0"},
      {"\\\\?\\hid#vid_2dc8&pid_5750&mi_00#0&0000&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}",
       "\\\\?\\hid#vid_2dc8&pid_5750&mi_00#0&0000&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
      {"a\\\033[2J\n", "a\\\\x1b[2J\\x0a"},
      {"a\xe6\x89", "a\\xe6\\x89"},
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(TerminalSafePath(raw), shown) << raw;
}

// FIPS 180-4's examples, and the same message fed in pieces that straddle
// the 64-byte blocks.
TEST(Sha256, KnownDigestsWholeAndInPieces) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.message.data());
    Sha256 whole;
    whole.Add(bytes, c.message.size());
    EXPECT_EQ(whole.Finish(), c.digest);
    Sha256 pieces;
    for (std::size_t at = 0; at < c.message.size();) {
      const std::size_t size = std::min<std::size_t>(c.message.size() - at, 1 + at % 71);
      pieces.Add(bytes + at, size);
      at += size;
    }
    EXPECT_EQ(pieces.Finish(), c.digest);
  }
}

// A descriptor left open without close-on-exec (by a library, or one on a
// controller's node that another thread of the parent was closing) stays
// with the parent: the child holds nothing but its standard streams.
TEST(ChildProcess, InheritsNothingButItsStandardStreams) {
  const int leftOpen = open("/dev/null", O_RDONLY);
  ASSERT_GE(leftOpen, 0);
  setenv(kListDescriptors, "1", 1);
  const std::shared_ptr<ChildProcess> child = StartChildProcess({"korvid_command_line_tests"}, false);
  unsetenv(kListDescriptors);
  close(leftOpen);
  ASSERT_TRUE(child);

  std::string listed;
  for (;;) {
    pollfd readable{ChildOutputWatched(*child), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 10000), 1) << "the child said nothing for 10 s: " << listed;
    if (!DrainChildOutput(*child, listed)) break;
  }
  EXPECT_EQ(CollectChildStatus(*child), 0);
  EXPECT_EQ(listed, "");
}

}  // namespace
