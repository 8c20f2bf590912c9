#include "pipe_device.h"

#include "named_pipe_hid_protocol.h"

PipeDevice::PipeDevice(std::wstring name, DeviceIdentity identity, Answer answer)
    : name_(std::move(name)), identity_(identity), answer_(answer) {
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  reportArrived_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &PipeDevice::ThreadMain, this, 0, nullptr);
  OnDeviceThread([this] {
    link_ = std::make_unique<NamedPipeLink>(name_, nullptr);
    up_ = link_->Appear(identity_);
    path_ = link_->DevicePath();
  });
}

PipeDevice::~PipeDevice() {
  OnDeviceThread([this] { link_.reset(); });  // withdraws the announcement
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  SetEvent(wake_);
  WaitForSingleObject(thread_, 10000);
  CloseHandle(thread_);
  CloseHandle(wake_);
  CloseHandle(reportArrived_);
}

void PipeDevice::Send(const Report& report) {
  OnDeviceThread([this, report] { link_->SendInput(report); });
}

void PipeDevice::WhileHeld(const std::function<void()>& client) {
  HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    work_.push_back([holding, release] {
      SetEvent(holding);
      WaitForSingleObject(release, 10000);
    });
  }
  SetEvent(wake_);
  WaitForSingleObject(holding, 10000);
  client();
  SetEvent(release);
  OnDeviceThread([] {});  // the hold is over once the thread takes more work
  CloseHandle(holding);
  CloseHandle(release);
}

void PipeDevice::Unplug() {
  OnDeviceThread([this] { link_->Vanish(); });
}

void PipeDevice::StopReading() {
  OnDeviceThread([this] { link_->StopReading(); });
}

std::vector<Report> PipeDevice::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool PipeDevice::WaitForReports(std::size_t count, DWORD ms) {
  const ULONGLONG until = GetTickCount64() + ms;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (received_.size() >= count) return true;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return false;
    WaitForSingleObject(reportArrived_, static_cast<DWORD>(until - now));
  }
}

uint64_t PipeDevice::IgnoredWrites() {
  uint64_t ignored = 0;
  OnDeviceThread([&] { ignored = link_->IgnoredWrites(); });
  return ignored;
}

void PipeDevice::OnDeviceThread(const std::function<void()>& work) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    work_.push_back([&work, done] {
      work();
      SetEvent(done);
    });
  }
  SetEvent(wake_);
  WaitForSingleObject(done, 10000);
  CloseHandle(done);
}

DWORD WINAPI PipeDevice::ThreadMain(void* self) {
  static_cast<PipeDevice*>(self)->Run();
  return 0;
}

void PipeDevice::Run() {
  std::vector<HANDLE> handles;
  const auto record = [this](const Report& report) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(report);
      SetEvent(reportArrived_);
    }
    if (answer_ == Answer::Echo) link_->SendInput(report);
  };
  for (;;) {
    handles.assign(1, wake_);
    if (link_) link_->AppendWaitHandles(handles);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 50);
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (work_.empty()) {
          if (stopping_) return;
          break;
        }
        work = std::move(work_.front());
        work_.pop_front();
      }
      work();
    }
    if (link_) link_->Service(record);
  }
}

GhostAnnouncement::GhostAnnouncement(std::wstring name, uint16_t vendorId, uint16_t productId)
    : name_(std::move(name)) {
  AnnounceDevice(name_, pipehid::DevicePath(name_, vendorId, productId));
}

GhostAnnouncement::~GhostAnnouncement() { WithdrawDevice(name_); }
