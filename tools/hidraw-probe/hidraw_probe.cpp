#include "hidraw_probe.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Reports of the controller's protocol that always get the same answer, or
// none: the device side stays the simulated controller throughout.
const Bytes kVersionRequest = {0x05, 0x00, 0x16, 0x01, 0x00, 0x04};
const Bytes kUpdateRequest = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};

Bytes HeaderCommand() {
  Bytes report = {0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00};
  uint8_t header[28] = {110, 0, 0, 0, 1, 0, 0x56, 0x4B, 64, 0, 0, 0};  // version 1.10, 64 payload bytes
  report.insert(report.end(), header, header + sizeof header);
  return report;
}

Bytes DataCommand(uint8_t fill) {
  Bytes report = {0x27, 0x00, 0x16, 0x23, 0x00, 0x00, 0x20, 0x00};
  report.insert(report.end(), 32, fill);
  return report;
}

// Report ID 0, then the 64-byte report (zero-padded): what hidraw takes.
Bytes Framed(const Bytes& report, std::size_t size = 65) {
  Bytes bytes(size, 0);
  std::memcpy(bytes.data() + 1, report.data(), std::min(report.size(), size - 1));
  return bytes;
}

std::string Kind(const uint8_t* report, std::size_t size) {
  if (size >= 6 && report[1] == 0x00 && report[2] == 0x19) return "identity";
  if (size >= 6 && report[1] == 0x00 && report[2] == 0x16 && report[5] == 0x04) return "version";
  if (size >= 6 && report[1] == 0x00 && report[2] == 0x16 && report[5] == 0x14) return "acknowledgement";
  return "other";
}

std::string Hex(const uint8_t* bytes, std::size_t size) {
  std::string text;
  char two[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value & 0xFFFF);
  return text;
}

// poll for `events` at most `ms`; the revents seen (0: none in time).
short PollFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  const int ready = poll(&p, 1, ms);
  return ready > 0 ? p.revents : 0;
}

std::string WriteResult(ssize_t written, int error) {
  return written >= 0 ? "returned " + std::to_string(written) : "errno " + ErrnoName(error);
}

class Probe {
 public:
  Probe(int fd, ProbePeer& peer, const ProbeOutput& out) : fd_(fd), peer_(peer), out_(out) {}

  long Reports() { return StatusField(peer_.Send("status"), "reports"); }

  // Waits until the device took `count` reports since `before`: true, or
  // false after `ms`.
  bool WaitTaken(long before, long count, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      if (Reports() >= before + count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The device has handed every answer to the host's side.
  void WaitAnswersDelivered(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      const long queued = StatusField(peer_.Send("status"), "queued");
      // The emulator's "queued" counts what a reader has waiting, not what
      // the device still holds: there the answers are delivered at once.
      if (queued <= 0 || !peerHoldsAnswers_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The host's side fetches what the device handed over at its own pace.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  ssize_t Write(const Bytes& bytes, int& error) {
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    error = errno;
    return written;
  }

  // Every report readable now, without waiting.
  std::vector<Bytes> Drain(int& lastErrno) {
    std::vector<Bytes> reports;
    uint8_t buffer[256];
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got < 0) {
        lastErrno = errno;
        return reports;
      }
      reports.emplace_back(buffer, buffer + got);
      if (reports.size() > 1000) return reports;
    }
  }

  void Ioctls() {
    hidraw_devinfo info{};
    if (ioctl(fd_, HIDIOCGRAWINFO, &info) == 0)
      out_("rawinfo",
           "bus=" + std::to_string(info.bustype) + " vendor=" + Hex4(info.vendor) + " product=" + Hex4(info.product));
    else
      out_("rawinfo", "errno " + ErrnoName(errno));
    int size = 0;
    if (ioctl(fd_, HIDIOCGRDESCSIZE, &size) == 0) {
      out_("rdesc-size", std::to_string(size));
      hidraw_report_descriptor descriptor{};
      descriptor.size = static_cast<uint32_t>(size);
      if (ioctl(fd_, HIDIOCGRDESC, &descriptor) == 0)
        out_("rdesc", Hex(descriptor.value, descriptor.size));
      else
        out_("rdesc", "errno " + ErrnoName(errno));
    } else {
      out_("rdesc-size", "errno " + ErrnoName(errno));
    }
    char name[256] = {};
    const int named = ioctl(fd_, HIDIOCGRAWNAME(sizeof name), name);
    out_("rawname", named >= 0 ? std::string(name) : "errno " + ErrnoName(errno));
    int unused = 0;
    // hidraw's own ioctl type with a number it does not know, and another
    // driver's type: they fail differently on hidraw.
    out_("ioctl-unknown-number",
         ioctl(fd_, _IOR('H', 0x7E, int), &unused) == 0 ? "succeeded" : "errno " + ErrnoName(errno));
    out_("ioctl-other-type",
         ioctl(fd_, _IOR('Q', 0x01, int), &unused) == 0 ? "succeeded" : "errno " + ErrnoName(errno));
  }

  void WritesAndReads() {
    int error = 0;
    long before = Reports();
    ssize_t written = Write(Framed(kVersionRequest), error);
    const bool taken = WaitTaken(before, 1, 2000);
    out_("write-65", WriteResult(written, error) + ", device took " + (taken ? "the report" : "nothing"));
    uint8_t buffer[256];
    PollFor(fd_, POLLIN, 2000);
    ssize_t got = read(fd_, buffer, sizeof buffer);
    out_("read-256", got >= 0 ? std::to_string(got) + " bytes, " + Kind(buffer, static_cast<std::size_t>(got))
                              : "errno " + ErrnoName(errno));

    Write(Framed(kVersionRequest), error);
    PollFor(fd_, POLLIN, 2000);
    got = read(fd_, buffer, 10);
    out_("read-10", got >= 0 ? std::to_string(got) + " bytes" : "errno " + ErrnoName(errno));
    PollFor(fd_, POLLIN, 300);
    got = read(fd_, buffer, sizeof buffer);
    out_("read-after-10", got >= 0 ? "the rest, " + std::to_string(got) + " bytes" : "errno " + ErrnoName(errno));

    // The report ID and 63 bytes: one byte short of the report.
    before = Reports();
    written = Write(Framed(kVersionRequest, 64), error);
    const bool shortTaken = WaitTaken(before, 1, 500);
    out_("write-64", WriteResult(written, error) + ", device took " + (shortTaken ? "a report" : "nothing"));
    int lastErrno = 0;
    const std::size_t answers = Drain(lastErrno).size();
    out_("write-64-answers", std::to_string(answers));
  }

  void QueueOverflow() {
    // Distinct answers at both ends tell which end the kernel dropped.
    constexpr long kSent = 70;
    int error = 0;
    const long before = Reports();
    Write(Framed(kUpdateRequest), error);
    for (long i = 0; i < kSent - 2; ++i) Write(Framed(kVersionRequest), error);
    Write(Framed(kUpdateRequest), error);
    if (!WaitTaken(before, kSent, 10000)) out_("queue-sent", "the device did not take all " + std::to_string(kSent));
    WaitAnswersDelivered(10000);
    int lastErrno = 0;
    const std::vector<Bytes> reports = Drain(lastErrno);
    out_("queue-readable", std::to_string(reports.size()) + " of " + std::to_string(kSent));
    out_("queue-first", reports.empty() ? "-" : Kind(reports.front().data(), reports.front().size()));
    out_("queue-last", reports.empty() ? "-" : Kind(reports.back().data(), reports.back().size()));
    out_("queue-then", "errno " + ErrnoName(lastErrno));
  }

  void ShortInput() {
    const std::string reply = peer_.Send("short");
    if (reply.rfind("ok", 0) != 0) {
      out_("short-input", "not sent: " + (reply.empty() ? std::string("no reply") : reply));
      return;
    }
    const short revents = PollFor(fd_, POLLIN, 1000);
    uint8_t buffer[256];
    const ssize_t got = (revents & POLLIN) ? read(fd_, buffer, sizeof buffer) : -1;
    out_("short-input", got >= 0 ? "read " + std::to_string(got) + " bytes" : "dropped (nothing readable within 1 s)");
  }

  void Unplug() {
    int error = 0;
    const long before = Reports();
    Write(Framed(kVersionRequest), error);
    Write(Framed(kVersionRequest), error);
    WaitTaken(before, 2, 2000);
    WaitAnswersDelivered(5000);
    const std::string reply = peer_.Send("unplug");
    if (reply.rfind("ok", 0) != 0) {
      out_("unplug", "the device side did not unplug: " + reply);
      return;
    }
    // The removal reaches the node a little later than the device went.
    short revents = 0;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
      revents = PollFor(fd_, POLLIN | POLLOUT, 10);
      if (revents & (POLLERR | POLLHUP | POLLNVAL)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    out_("unplug-poll", (revents & (POLLERR | POLLHUP | POLLNVAL))
                            ? PollFlags(revents)
                            : "no ERR or HUP within 5 s (" + PollFlags(revents) + ")");
    int lastErrno = 0;
    const std::size_t readable = Drain(lastErrno).size();
    out_("unplug-readable", std::to_string(readable) + " of 2 queued");
    out_("unplug-read-then", "errno " + ErrnoName(lastErrno));
    out_("unplug-poll-drained", PollFlags(PollFor(fd_, POLLIN | POLLOUT, 0)));
    const ssize_t written = Write(Framed(kVersionRequest), error);
    out_("unplug-write", WriteResult(written, error));
    hidraw_devinfo info{};
    out_("unplug-ioctl", ioctl(fd_, HIDIOCGRAWINFO, &info) == 0 ? "succeeded" : "errno " + ErrnoName(errno));
  }

  void Stall() {
    int error = 0;
    ssize_t written = Write(Framed(HeaderCommand()), error);
    uint8_t buffer[256];
    const bool answered = (PollFor(fd_, POLLIN, 2000) & POLLIN) && read(fd_, buffer, sizeof buffer) > 0;
    out_("stall-header", WriteResult(written, error) + (answered ? ", " + Kind(buffer, 64) : ", no answer"));
    // The device stops reading once it took data command 1.
    written = Write(Framed(DataCommand(1)), error);
    out_("stall-data-1", WriteResult(written, error));

    // Writes go on until one waits: the device side's buffers fill first
    // (f_hid holds four), which is the device's doing, not hidraw's.
    constexpr int kMaxWrites = 12;
    int quick = 0;
    for (int i = 0; i < kMaxWrites; ++i) {
      const TimedWrite result = BoundedWrite(Framed(DataCommand(static_cast<uint8_t>(i + 2))));
      if (result.finished && result.seconds < 1.0 && result.written >= 0) {
        ++quick;
        continue;
      }
      out_("device-writes-taken-before-one-waits", std::to_string(quick));
      out_("stall-write", Describe(result));
      if (!result.finished) {
        peer_.Send("unplug");  // what releases it, if anything
        return;
      }
      // And the next one, while the device still takes nothing.
      out_("stall-write-next", Describe(BoundedWrite(Framed(DataCommand(0xEE)))));
      return;
    }
    out_("device-writes-taken-before-one-waits", "none waited in " + std::to_string(kMaxWrites));
  }

 private:
  static constexpr int kWriteBoundS = 9;

  struct TimedWrite {
    bool finished = false;
    ssize_t written = 0;
    int error = 0;
    double seconds = 0;
  };

  // A write the device never takes may never return: it runs on a thread of
  // its own, waited for at most kWriteBoundS, and left behind if it hangs.
  TimedWrite BoundedWrite(const Bytes& bytes) {
    struct Shared {
      std::mutex lock;
      std::condition_variable done;
      TimedWrite result;
    };
    auto shared = std::make_shared<Shared>();
    const int fd = fd_;
    const auto start = Clock::now();
    std::thread([shared, bytes, fd] {
      const ssize_t written = write(fd, bytes.data(), bytes.size());
      const int writeErrno = errno;
      std::lock_guard<std::mutex> hold(shared->lock);
      shared->result.written = written;
      shared->result.error = writeErrno;
      shared->result.finished = true;
      shared->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(shared->lock);
    shared->done.wait_for(hold, std::chrono::seconds(kWriteBoundS), [&] { return shared->result.finished; });
    TimedWrite result = shared->result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
  }

  static std::string Describe(const TimedWrite& write) {
    if (!write.finished) return "still waiting after " + std::to_string(kWriteBoundS) + " s";
    return WriteResult(write.written, write.error) + " after " + DurationClass(write.seconds);
  }

  int fd_;
  ProbePeer& peer_;
  const ProbeOutput& out_;

 public:
  // The gadget bridge hands answers to the host one at a time, as the host
  // fetches them; the emulator queues them on the node at once.
  bool peerHoldsAnswers_ = false;
};

}  // namespace

long StatusField(const std::string& status, const std::string& field) {
  const std::string key = field + "=";
  std::size_t at = 0;
  while ((at = status.find(key, at)) != std::string::npos) {
    if (at == 0 || status[at - 1] == ' ') return std::strtol(status.c_str() + at + key.size(), nullptr, 10);
    at += key.size();
  }
  return -1;
}

std::string DurationClass(double seconds) {
  if (seconds < 1.0) return "under 1 s";
  if (seconds < 4.0) return "1 to 4 s";
  if (seconds < 7.0) return "4 to 7 s";
  return "7 s or more";
}

std::string ErrnoName(int error) {
  static const std::map<int, const char*> names = {{EAGAIN, "EAGAIN"},         {EIO, "EIO"},
                                                   {ENODEV, "ENODEV"},         {ENOTTY, "ENOTTY"},
                                                   {EINVAL, "EINVAL"},         {EPROTO, "EPROTO"},
                                                   {ETIMEDOUT, "ETIMEDOUT"},   {EPIPE, "EPIPE"},
                                                   {ENOENT, "ENOENT"},         {EFAULT, "EFAULT"},
                                                   {EBADF, "EBADF"},           {ESHUTDOWN, "ESHUTDOWN"},
                                                   {EINTR, "EINTR"},           {EPERM, "EPERM"},
                                                   {EACCES, "EACCES"},         {ENXIO, "ENXIO"},
                                                   {EOPNOTSUPP, "EOPNOTSUPP"}, {0, "0"}};
  const auto found = names.find(error);
  return found != names.end() ? found->second : std::to_string(error);
}

std::string PollFlags(short revents) {
  std::string text;
  const std::pair<short, const char*> flags[] = {{POLLIN, "IN"},   {POLLOUT, "OUT"},   {POLLERR, "ERR"},
                                                 {POLLHUP, "HUP"}, {POLLNVAL, "NVAL"}, {POLLPRI, "PRI"}};
  for (const auto& flag : flags)
    if (revents & flag.first) text += (text.empty() ? "" : "|") + std::string(flag.second);
  return text.empty() ? "none" : text;
}

namespace {

int OpenNode(const std::string& node, const ProbeOutput& out) {
  const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) out("open", "errno " + ErrnoName(errno));
  return fd;
}

}  // namespace

int RunBasicProbe(const std::string& node, ProbePeer& peer, bool gadgetPeer, const ProbeOutput& out) {
  const int fd = OpenNode(node, out);
  if (fd < 0) return 1;
  Probe probe(fd, peer, out);
  probe.peerHoldsAnswers_ = gadgetPeer;
  probe.Ioctls();
  probe.WritesAndReads();
  probe.QueueOverflow();
  probe.ShortInput();
  probe.Unplug();
  close(fd);
  return 0;
}

int RunStallProbe(const std::string& node, ProbePeer& peer, const ProbeOutput& out) {
  const int fd = OpenNode(node, out);
  if (fd < 0) return 1;
  Probe probe(fd, peer, out);
  probe.Stall();
  // A write still held keeps the descriptor busy; it goes with the process.
  return 0;
}

std::vector<std::string> CompareTranscripts(const std::vector<std::string>& kernel,
                                            const std::vector<std::string>& emulated) {
  auto split = [](const std::vector<std::string>& lines, std::vector<std::string>& order) {
    std::map<std::string, std::string> values;
    for (const std::string& line : lines) {
      const std::size_t colon = line.find(": ");
      if (colon == std::string::npos) continue;
      const std::string key = line.substr(0, colon);
      if (key.rfind(kDeviceSideKeyPrefix, 0) == 0) continue;
      if (values.emplace(key, line.substr(colon + 2)).second) order.push_back(key);
    }
    return values;
  };
  std::vector<std::string> kernelOrder, emulatedOrder;
  const auto kernelValues = split(kernel, kernelOrder);
  const auto emulatedValues = split(emulated, emulatedOrder);
  std::vector<std::string> differences;
  for (const std::string& key : kernelOrder) {
    const auto other = emulatedValues.find(key);
    if (other == emulatedValues.end())
      differences.push_back(key + ": kernel \"" + kernelValues.at(key) + "\", emulator nothing");
    else if (other->second != kernelValues.at(key))
      differences.push_back(key + ": kernel \"" + kernelValues.at(key) + "\", emulator \"" + other->second + "\"");
  }
  for (const std::string& key : emulatedOrder)
    if (kernelValues.find(key) == kernelValues.end())
      differences.push_back(key + ": kernel nothing, emulator \"" + emulatedValues.at(key) + "\"");
  return differences;
}
