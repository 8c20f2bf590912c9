#include "hidraw_node.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <linux/hidraw.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// hidraw refuses writes outside these sizes before looking at them.
constexpr std::size_t kMinWrite = 2;
constexpr std::size_t kMaxWrite = 4096;
constexpr std::size_t kReportWrite = kReportSize + 1;  // report ID 0, then the report

constexpr unsigned kGetRawName = _IOC_NR(HIDIOCGRAWNAME(0));
constexpr unsigned kGetRawPhys = _IOC_NR(HIDIOCGRAWPHYS(0));
constexpr unsigned kGetRawUniq = 0x08;  // HIDIOCGRAWUNIQ(len)
// HIDIOCSFEATURE, HIDIOCGFEATURE, HIDIOCSINPUT, HIDIOCGINPUT, HIDIOCSOUTPUT,
// HIDIOCGOUTPUT (len).
constexpr unsigned kReportRequests[] = {0x06, 0x07, 0x09, 0x0A, 0x0B, 0x0C};

void Complete(UMockdevIoctlClient* client, long result, int error = 0) {
  umockdev_ioctl_client_complete(client, result, error);
}

// Copies what a string-returning hidraw ioctl gives: the text with its NUL,
// cut to the caller's buffer, and the number of bytes copied.
void AnswerText(UMockdevIoctlClient* client, std::size_t bufferSize, const std::string& text) {
  const std::size_t length = std::min(text.size() + 1, bufferSize);
  if (length == 0) return Complete(client, 0);
  UMockdevIoctlData* buffer =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, bufferSize, nullptr);
  if (buffer == nullptr) return Complete(client, -1, EFAULT);
  std::memcpy(buffer->data, text.c_str(), length);
  Complete(client, static_cast<long>(length));
  g_object_unref(buffer);
}

// The path a Unix socket is bound to; an accepted connection carries its
// listener's.
std::string BoundPath(int fd) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sun_family != AF_UNIX ||
      length <= offsetof(sockaddr_un, sun_path))
    return std::string();
  return std::string(address.sun_path, strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
}

}  // namespace

// One descriptor open on the node, with its own queue, as hidraw keeps one
// per open file.
struct HidrawNode::Reader {
  HidrawNode* node = nullptr;
  UMockdevIoctlClient* client = nullptr;  // one reference
  std::array<Input, kQueuedReports> queue{};
  std::size_t head = 0;
  std::size_t queued = 0;
  std::uint64_t number = 0;  // in the order readers opened
  int peer = -1;  // hangs up when the program's end of the connection closes
  guint hangUpWatch = 0;
  bool nextWriteFailsProtocol = false;  // its write waited while the device went
};

// A write the device does not take, until usbhid gives up on it.
struct HidrawNode::HeldWrite {
  HidrawNode* node = nullptr;
  UMockdevIoctlClient* client = nullptr;  // one reference
  guint timeout = 0;
};

namespace {

// What umockdev's thread needs to tell that results went out.
struct CompletionNote {
  HidrawNode* node;
  UMockdevIoctlClient* client;  // one reference
};

// How often to look whether a program has read the result of its write.
constexpr uint64_t kCompletionCheckUs = 50;

}  // namespace

HidrawNode::HidrawNode(Testbed& testbed, HidrawIdentity identity, std::string devnode, mode_t mode,
                       HidrawNodeListener* listener)
    : testbed_(testbed),
      identity_(std::move(identity)),
      devnode_(std::move(devnode)),
      mode_(mode),
      listener_(listener) {}

HidrawNode::~HidrawNode() {
  Forget();
  if (handler_ != nullptr) g_object_unref(handler_);
  if (debtWatch_ != 0) g_source_remove(debtWatch_);
  if (ptySlave_ >= 0) close(ptySlave_);
  if (umockdevContext_ != nullptr) g_main_context_unref(umockdevContext_);
}

void HidrawNode::Forget() {
  forgotten_ = true;
  EndHeldWrites(ENODEV);
  DropCompletions();
  if (handler_ != nullptr) g_signal_handlers_disconnect_by_data(handler_, this);
  while (!readers_.empty()) DropReader(readers_.end() - 1);
}

bool HidrawNode::AttachHandler(std::string& error) {
  handlerSocket_ = testbed_.HandlerSocket(devnode_);
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(OnRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(OnWrite), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
  if (!testbed_.AttachHandler(devnode_, handler_, error)) return false;
  // A program of any user reaches the handler; the node's own mode decides
  // who may open it.
  chmod(handlerSocket_.c_str(), 0666);
  return true;
}

bool HidrawNode::TakePty(std::string& error) {
  ptyMaster_ = testbed_.PtyMaster(devnode_);
  char slaveName[128];
  if (ptyMaster_ < 0 || ptsname_r(ptyMaster_, slaveName, sizeof slaveName) != 0) {
    error = "the testbed made no pty for " + devnode_;
    return false;
  }
  // A program started later must not hold the master open: the pty hangs
  // up only once no master is left.
  fcntl(ptyMaster_, F_SETFD, FD_CLOEXEC);
  ptySlave_ = open(slaveName, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (ptySlave_ < 0) {
    error = "cannot open the pty of " + devnode_ + ": " + std::strerror(errno);
    return false;
  }
  // Not fatal: only a program that opens the node as a session leader
  // cares.
  if (!sessionHolder_.Hold(ptySlave_))
    std::fprintf(stderr, "korvid-emulated-controller: %s may become a program's terminal\n", devnode_.c_str());
  // Doorbell bytes must reach the program's poll one by one, never held for a
  // line end or echoed.
  termios raw;
  if (tcgetattr(ptySlave_, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(ptySlave_, TCSANOW, &raw);
  }
  // Only now can the node's mode be set, after umockdev sent the "add"
  // uevent: a program of another user opening the node that very instant may
  // be refused once (root is not).
  fchmod(ptySlave_, mode_);
  plugged_ = true;
  return true;
}

void HidrawNode::Disconnect() {
  if (!plugged_ || gone_) return;
  gone_ = true;
  // Answers not yet readable were never sent.
  heldAnswers_.clear();
  DropCompletions();
  for (const auto& held : heldWrites_)
    if (Reader* reader = FindReader(held->client)) reader->nextWriteFailsProtocol = true;
  EndHeldWrites(EPROTO);
  rung_ = 0;
  if (debtWatch_ != 0) g_source_remove(debtWatch_);
  debtWatch_ = 0;
  HangUpPty();
}

void HidrawNode::HangUpPty() {
  // The kernel hangs up a pty's other side when its last master closes, and
  // a hung-up descriptor polls as POLLIN, POLLOUT, POLLERR and POLLHUP. The
  // master's number stays the testbed's, which closes it when it goes: a
  // descriptor of our own takes its place, so that nothing else ever does.
  const int placeholder = eventfd(0, EFD_CLOEXEC);
  if (placeholder < 0) return;
  dup3(placeholder, ptyMaster_, O_CLOEXEC);
  close(placeholder);
  sessionHolder_.Release();  // the hang-up has been sent
}

void HidrawNode::DetachHandler() { testbed_.DetachHandler(devnode_); }

void HidrawNode::QueueInput(const uint8_t* bytes, std::size_t size) {
  if (!Present()) return;
  if (size < identity_.descriptor->inputReportSize) {  // the kernel's "report too short"
    ++shortDropped_;
    return;
  }
  Input input{};
  input.size = std::min(size, input.bytes.size());
  std::memcpy(input.bytes.data(), bytes, input.size);
  if (completionsOnTheirWay_ > 0) {
    heldAnswers_.push_back(HeldAnswer{input, nextReaderNumber_});
    return;
  }
  Deliver(input);
}

void HidrawNode::Deliver(const Input& input, std::uint64_t openedBefore) {
  for (auto& reader : readers_) {
    if (reader->number >= openedBefore) continue;
    if (reader->queued == kQueuedReports) continue;  // the newest is dropped
    reader->queue[(reader->head + reader->queued) % kQueuedReports] = input;
    ++reader->queued;
  }
  SyncDoorbell();
}

void HidrawNode::Handle(const HandedCall& call) {
  if (umockdevContext_ == nullptr) umockdevContext_ = g_main_context_ref_thread_default();
  if (forgotten_) return RefuseCall(call);
  switch (call.call) {
    case DeviceCall::Ioctl:
      AnswerIoctl(call.client);
      break;
    case DeviceCall::Read:
      AnswerRead(call.client);
      break;
    case DeviceCall::Write:
      AnswerWrite(call.client);
      break;
    case DeviceCall::Opened:
      Opened(call.client);
      return;  // the reference stays with the reader
    case DeviceCall::Closed:
      Closed(call.client);
      break;
    case DeviceCall::CompletionsOut:
      if (completionsOnTheirWay_ == 0) break;  // unplugged meanwhile
      --completionsOnTheirWay_;
      completionsUnread_.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(call.client)));
      CheckCompletionsRead();
      if (listener_ != nullptr) listener_->OnWriteReturned();
      break;
  }
  if (call.client != nullptr) g_object_unref(call.client);
}

void HidrawNode::AnswerIoctl(UMockdevIoctlClient* client) {
  if (gone_) return Complete(client, -1, ENODEV);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
  if (request == HIDIOCGRAWINFO) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(argument, 0, sizeof(hidraw_devinfo), nullptr);
    if (data == nullptr) return Complete(client, -1, EFAULT);
    hidraw_devinfo info{};
    info.bustype = static_cast<uint16_t>(identity_.bus);
    info.vendor = static_cast<int16_t>(identity_.vendorId);
    info.product = static_cast<int16_t>(identity_.productId);
    std::memcpy(data->data, &info, sizeof info);
    Complete(client, 0);
    g_object_unref(data);
    return;
  }
  const std::vector<uint8_t>& descriptor = identity_.descriptor->bytes;
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(argument, 0, sizeof(int), nullptr);
    if (data == nullptr) return Complete(client, -1, EFAULT);
    const int size = static_cast<int>(descriptor.size());
    std::memcpy(data->data, &size, sizeof size);
    Complete(client, 0);
    g_object_unref(data);
    return;
  }
  if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(argument, 0, sizeof(hidraw_report_descriptor), nullptr);
    if (data == nullptr) return Complete(client, -1, EFAULT);
    uint32_t asked = 0;
    std::memcpy(&asked, data->data, sizeof asked);
    if (asked > HID_MAX_DESCRIPTOR_SIZE - 1) {
      Complete(client, -1, EINVAL);
    } else {
      const std::size_t length = std::min<std::size_t>(asked, descriptor.size());
      std::memcpy(data->data + offsetof(hidraw_report_descriptor, value), descriptor.data(), length);
      Complete(client, 0);
    }
    g_object_unref(data);
    return;
  }
  if (_IOC_TYPE(request) == 'H') {
    const unsigned number = _IOC_NR(request);
    if (_IOC_DIR(request) == _IOC_READ) {
      if (number == kGetRawName) return AnswerText(client, _IOC_SIZE(request), identity_.name);
      if (number == kGetRawPhys) return AnswerText(client, _IOC_SIZE(request), identity_.phys);
      if (number == kGetRawUniq) return AnswerText(client, _IOC_SIZE(request), identity_.uniq);
    }
    // Feature, input and output report requests go to the device on the
    // control pipe; the controller has no such reports and stalls them.
    if (_IOC_DIR(request) == (_IOC_READ | _IOC_WRITE) &&
        std::find(std::begin(kReportRequests), std::end(kReportRequests), number) != std::end(kReportRequests))
      return Complete(client, -1, EPIPE);
    return Complete(client, -1, ENOTTY);
  }
  // Requests of another driver's type never reach hidraw's own table.
  Complete(client, -1, EINVAL);
}

void HidrawNode::AnswerRead(UMockdevIoctlClient* client) {
  // A reader already ended has a dead program behind it: nothing to give.
  Reader* reader = FindReader(client);
  if (reader == nullptr || reader->queued == 0) return Complete(client, -1, gone_ ? EIO : EAGAIN);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  const Input& input = reader->queue[reader->head];
  const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(buffer->data_len), input.size);
  std::memcpy(buffer->data, input.bytes.data(), length);
  reader->head = (reader->head + 1) % kQueuedReports;
  --reader->queued;
  SyncDoorbell();
  Complete(client, static_cast<long>(length));
}

void HidrawNode::StopTakingWrites() { takingWrites_ = false; }

void HidrawNode::HoldWrite(UMockdevIoctlClient* client) {
  heldWrites_.push_back(std::make_unique<HeldWrite>());
  HeldWrite& held = *heldWrites_.back();
  held.node = this;
  held.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
  held.timeout = g_timeout_add(kWriteTimeoutMs, &HidrawNode::OnWriteTimedOut, &held);
}

gboolean HidrawNode::OnWriteTimedOut(gpointer data) {
  auto* held = static_cast<HeldWrite*>(data);
  HidrawNode* node = held->node;
  held->timeout = 0;  // ends as this returns
  Complete(held->client, -1, ETIMEDOUT);
  g_object_unref(held->client);
  auto& writes = node->heldWrites_;
  writes.erase(std::find_if(writes.begin(), writes.end(), [held](const auto& w) { return w.get() == held; }));
  return G_SOURCE_REMOVE;
}

void HidrawNode::EndHeldWrites(int error) {
  for (const auto& held : heldWrites_) {
    if (held->timeout != 0) g_source_remove(held->timeout);
    Complete(held->client, -1, error);
    g_object_unref(held->client);
  }
  heldWrites_.clear();
}

void HidrawNode::AnswerWrite(UMockdevIoctlClient* client) {
  if (gone_) {
    Reader* reader = FindReader(client);
    if (reader != nullptr && reader->nextWriteFailsProtocol) {
      reader->nextWriteFailsProtocol = false;
      return Complete(client, -1, EPROTO);
    }
    return Complete(client, -1, ENODEV);
  }
  if (!takingWrites_) return HoldWrite(client);  // the program waits in its write
  const UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  const std::size_t length = static_cast<std::size_t>(buffer->data_len);
  char what[96];
  if (length < kMinWrite || length > kMaxWrite) {
    std::snprintf(what, sizeof what, "a write of %zu bytes, refused by hidraw", length);
    if (listener_ != nullptr) listener_->OnWireViolation(what);
    return Complete(client, -1, EINVAL);
  }
  if (length != kReportWrite) {
    std::snprintf(what, sizeof what, "a write of %zu bytes (65: report ID 0 and the 64 report bytes)", length);
    if (listener_ != nullptr) listener_->OnWireViolation(what);
  } else if (buffer->data[0] != 0) {
    std::snprintf(what, sizeof what, "a write with report ID 0x%02X (0: reports are unnumbered)", buffer->data[0]);
    if (listener_ != nullptr) listener_->OnWireViolation(what);
  } else if (listener_ != nullptr) {
    Report report;
    std::memcpy(report.data(), buffer->data + 1, report.size());
    // The controller takes the report now (it may stop taking or vanish),
    // but what it answers waits for this write's result.
    ++completionsOnTheirWay_;
    listener_->OnOutputReport(report);
    Complete(client, static_cast<long>(length));
    if (!gone_) ReleaseAnswersAfterCompletion(client);
    return;
  }
  Complete(client, static_cast<long>(length));
}

void HidrawNode::ReleaseAnswersAfterCompletion(UMockdevIoctlClient* client) {
  // umockdev sends a result from its own context (which Handle, where every
  // write comes through, has noted), in steps each due at once at the
  // default priority; an idle of lower priority there runs once the result
  // has been written to the program's connection.
  GSource* idle = g_idle_source_new();
  g_source_set_priority(idle, G_PRIORITY_LOW);
  auto* note = new CompletionNote{this, static_cast<UMockdevIoctlClient*>(g_object_ref(client))};
  g_source_set_callback(idle, &HidrawNode::OnCompletionOut, note, [](gpointer data) {
    auto* note = static_cast<CompletionNote*>(data);
    if (note->client != nullptr) g_object_unref(note->client);
    delete note;
  });
  g_source_attach(idle, umockdevContext_);
  g_source_unref(idle);
}

gboolean HidrawNode::OnCompletionOut(gpointer data) {
  auto* note = static_cast<CompletionNote*>(data);
  CallDesk::Bring(HandedCall{note->node, note->client, DeviceCall::CompletionsOut});
  note->client = nullptr;  // the taker releases it
  return G_SOURCE_REMOVE;
}

void HidrawNode::CheckCompletionsRead() {
  // The result lies in the connection's send queue until the program has
  // read it, and its write returns right after.
  auto read = [this](UMockdevIoctlClient* client) {
    Reader* reader = FindReader(client);
    int unread = 0;
    if (reader != nullptr && reader->peer >= 0 && ioctl(reader->peer, SIOCOUTQ, &unread) == 0 && unread > 0)
      return false;
    g_object_unref(client);
    return true;
  };
  completionsUnread_.erase(std::remove_if(completionsUnread_.begin(), completionsUnread_.end(), read),
                           completionsUnread_.end());
  // Looked at again only while an answer waits for them: a paced link
  // answers a frame later, when they are long read.
  if (heldAnswers_.empty()) return;
  if (!completionsUnread_.empty()) {
    if (!completionCheck_) completionCheck_ = std::make_unique<MicrosecondTimer>([this] { CheckCompletionsRead(); });
    completionCheck_->WakeAt(MonotonicUs() + kCompletionCheckUs);
    return;
  }
  if (completionsOnTheirWay_ > 0) return;
  std::vector<HeldAnswer> answers;
  answers.swap(heldAnswers_);
  for (const HeldAnswer& answer : answers) Deliver(answer.input, answer.openedBefore);
}

void HidrawNode::DropCompletions() {
  completionsOnTheirWay_ = 0;
  for (UMockdevIoctlClient* client : completionsUnread_) g_object_unref(client);
  completionsUnread_.clear();
  if (completionCheck_) completionCheck_->Cancel();
}

HidrawNode::Reader* HidrawNode::FindReader(UMockdevIoctlClient* client) {
  for (auto& reader : readers_)
    if (reader->client == client) return reader.get();
  return nullptr;
}

void HidrawNode::Opened(UMockdevIoctlClient* client) {
  // umockdev accepts the next connection only once this returns.
  const int peer = TakePeerSocket();
  readers_.push_back(std::make_unique<Reader>());
  Reader& reader = *readers_.back();
  reader.node = this;
  reader.number = nextReaderNumber_++;
  reader.client = client;
  reader.peer = peer;
  // Ahead of the calls taken in the same turn of the loop, so that a program
  // that ended is forgotten before the next one is answered.
  if (peer >= 0)
    reader.hangUpWatch =
        g_unix_fd_add_full(G_PRIORITY_HIGH, peer, G_IO_HUP, &HidrawNode::OnPeerHungUp, &reader, nullptr);
}

void HidrawNode::Closed(UMockdevIoctlClient* client) {
  for (auto it = readers_.begin(); it != readers_.end(); ++it) {
    if ((*it)->client != client) continue;
    DropReader(it);
    // Its reports go with it; the pty keeps only what the others wait for.
    SyncDoorbell();
    return;
  }
}

gboolean HidrawNode::OnPeerHungUp(gint, GIOCondition, gpointer data) {
  auto* reader = static_cast<Reader*>(data);
  reader->hangUpWatch = 0;  // ends as this returns
  reader->node->Closed(reader->client);
  return G_SOURCE_REMOVE;
}

void HidrawNode::DropReader(std::vector<std::unique_ptr<Reader>>::iterator it) {
  Reader& reader = **it;
  if (reader.hangUpWatch != 0) g_source_remove(reader.hangUpWatch);
  if (reader.peer >= 0) close(reader.peer);
  g_signal_handlers_disconnect_by_data(reader.client, this);
  g_object_unref(reader.client);
  readers_.erase(it);
}

void HidrawNode::SyncDoorbell() {
  if (!Present()) return;
  std::size_t most = 0;
  for (const auto& reader : readers_) most = std::max(most, reader->queued);
  for (; rung_ < most; ++rung_) RingDoorbell();
  if (rung_ > most) {
    DrainDoorbell(static_cast<unsigned>(rung_ - most));
    rung_ = most;
  }
}

void HidrawNode::RingDoorbell() {
  const char bell = 1;
  ssize_t ignored = write(ptyMaster_, &bell, 1);
  (void)ignored;
}

void HidrawNode::DrainDoorbell(unsigned bytes) {
  doorbellDebt_ += bytes;
  PayDoorbellDebt();
  if (doorbellDebt_ > 0 && debtWatch_ == 0)
    debtWatch_ = g_unix_fd_add(ptySlave_, G_IO_IN, &HidrawNode::OnDoorbellReadable, this);
}

void HidrawNode::PayDoorbellDebt() {
  char bytes[kQueuedReports];
  while (doorbellDebt_ > 0) {
    const ssize_t drained = read(ptySlave_, bytes, std::min<std::size_t>(doorbellDebt_, sizeof bytes));
    if (drained <= 0) return;
    doorbellDebt_ -= static_cast<unsigned>(drained);
  }
}

gboolean HidrawNode::OnDoorbellReadable(gint, GIOCondition, gpointer self) {
  auto* node = static_cast<HidrawNode*>(self);
  node->PayDoorbellDebt();
  if (node->doorbellDebt_ > 0) return G_SOURCE_CONTINUE;
  node->debtWatch_ = 0;
  return G_SOURCE_REMOVE;
}

// Touches nothing of the node before the desk lets it in: it may be gone.
void HidrawNode::Hand(gpointer self, UMockdevIoctlClient* client, DeviceCall call) {
  auto* node = static_cast<HidrawNode*>(self);
  CallDesk::Bring(HandedCall{node, static_cast<UMockdevIoctlClient*>(g_object_ref(client)), call});
}

int HidrawNode::TakePeerSocket() {
  // umockdev accepts the next connection only after this returns, and keeps
  // its sockets to itself: the new one is found among this process's
  // descriptors. Each candidate is looked at through a copy, so that a
  // descriptor closed and reused meanwhile is not mistaken for it.
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  std::vector<unsigned long> present;
  int found = -1;
  bool several = false;
  while (dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(folder)) continue;
    const int copy = fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) continue;
    struct stat info;
    if (fstat(copy, &info) != 0 || !S_ISSOCK(info.st_mode) || BoundPath(copy) != handlerSocket_) {
      close(copy);
      continue;
    }
    const unsigned long inode = static_cast<unsigned long>(info.st_ino);
    const bool listener = [&] {
      int accepting = 0;
      socklen_t size = sizeof accepting;
      return getsockopt(copy, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0 && accepting != 0;
    }();
    if (listener || std::find(present.begin(), present.end(), inode) != present.end()) {
      close(copy);
      continue;
    }
    present.push_back(inode);
    if (std::find(takenPeers_.begin(), takenPeers_.end(), inode) != takenPeers_.end()) {
      close(copy);
      continue;
    }
    if (found >= 0) {
      several = true;
      close(copy);
      continue;
    }
    found = copy;
  }
  closedir(folder);
  takenPeers_ = std::move(present);
  if (several && found >= 0) {  // cannot tell which: no watch rather than a wrong one
    close(found);
    found = -1;
  }
  return found;
}

gboolean HidrawNode::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  Hand(self, client, DeviceCall::Ioctl);
  return TRUE;
}

gboolean HidrawNode::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  Hand(self, client, DeviceCall::Read);
  return TRUE;
}

gboolean HidrawNode::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  Hand(self, client, DeviceCall::Write);
  return TRUE;
}

void HidrawNode::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  // umockdev tells of a closing only through the client's "connected".
  g_signal_connect(client, "notify::connected", G_CALLBACK(OnConnectedChanged), self);
  Hand(self, client, DeviceCall::Opened);
}

void HidrawNode::OnConnectedChanged(GObject* client, GParamSpec*, gpointer self) {
  auto* ioctlClient = reinterpret_cast<UMockdevIoctlClient*>(client);
  if (!umockdev_ioctl_client_get_connected(ioctlClient))
    Hand(self, ioctlClient, DeviceCall::Closed);
}
