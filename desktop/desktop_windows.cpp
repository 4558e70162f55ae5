// The Windows desktop: the system kept awake by a thread that asks for it
// for as long as the update runs, and the taskbar button's progress.
#include "desktop_windows_api.h"
// After windows.h.
#include <shobjidl.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "update_desktop.h"

namespace norza::desktop {

DesktopWindowsApi& desktopWindowsApi() {
  static DesktopWindowsApi api = {&::SetThreadExecutionState};
  return api;
}

namespace {

// SetThreadExecutionState holds only while the thread that asked lives: one
// thread asks, waits for the release, and clears the request.
class ExecutionStateInhibitor final : public SleepInhibitor {
 public:
  ~ExecutionStateInhibitor() override { release(); }
  bool hold(const QString& /*who*/, const QString& /*why*/, QString* problem) override {
    if (held()) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    releasing_ = false;
    asked_ = false;
    thread_ = std::thread([this] {
      // Its result is the thread's previous state, which for a new thread
      // may be nothing at all: there is no failure to tell apart.
      desktopWindowsApi().setThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
      std::unique_lock<std::mutex> inner(mutex_);
      asked_ = true;
      granted_ = true;
      changed_.notify_all();
      changed_.wait(inner, [this] { return releasing_; });
      desktopWindowsApi().setThreadExecutionState(ES_CONTINUOUS);
    });
    changed_.wait(lock, [this] { return asked_; });
    (void)problem;
    return granted_;
  }
  void release() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thread_.joinable()) return;
      releasing_ = true;
    }
    changed_.notify_all();
    thread_.join();
    granted_ = false;
  }
  bool held() const override { return thread_.joinable() && granted_; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  bool asked_ = false;
  bool granted_ = false;
  bool releasing_ = false;
};

// The taskbar button: normal while writing, error after a failed attempt,
// nothing at the end.
class TaskbarProgress final : public ProgressShown {
 public:
  explicit TaskbarProgress(quintptr window) : window_(reinterpret_cast<HWND>(window)) {
    if (window_ == nullptr) return;
    if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITaskbarList3, reinterpret_cast<void**>(&taskbar_)))) {
      taskbar_ = nullptr;
    } else if (FAILED(taskbar_->HrInit())) {
      taskbar_->Release();
      taskbar_ = nullptr;
    }
  }
  ~TaskbarProgress() override {
    if (taskbar_ != nullptr) taskbar_->Release();
  }
  void show(double fraction) override {
    if (taskbar_ == nullptr) return;
    taskbar_->SetProgressState(window_, TBPF_NORMAL);
    taskbar_->SetProgressValue(window_, static_cast<ULONGLONG>(fraction * 1000), 1000);
  }
  void failed() override {
    if (taskbar_ != nullptr) taskbar_->SetProgressState(window_, TBPF_ERROR);
  }
  void clear() override {
    if (taskbar_ != nullptr) taskbar_->SetProgressState(window_, TBPF_NOPROGRESS);
  }

 private:
  HWND window_;
  ITaskbarList3* taskbar_ = nullptr;
};

}  // namespace

std::unique_ptr<SleepInhibitor> createSleepInhibitor() {
  return std::make_unique<ExecutionStateInhibitor>();
}

std::unique_ptr<ProgressShown> createProgressShown(const QString&, quintptr window) {
  return std::make_unique<TaskbarProgress>(window);
}

// Windows has no notification service the updater speaks to; the window
// flashes its taskbar button instead (QApplication::alert).
bool notifyDesktop(const QString&, const QString&, const QString&, const QString&) { return false; }

}  // namespace norza::desktop
