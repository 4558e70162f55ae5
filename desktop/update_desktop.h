// What the desktop is told while calculators are updated: the computer is
// kept awake from the countdown until the update has ended, the launcher or
// taskbar shows its progress, and at the end a notification reaches the
// user who walked away. One object per update; nothing here fails an
// update: where a service is missing, the update goes on and note() says so.
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace norza::desktop {

// Holds off sleep, idle and the lid switch while it is held; the platform
// drops the hold with the process, however it ends.
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // true when the hold is taken (or was already); otherwise false and why.
  virtual bool hold(const QString& who, const QString& why, QString* problem) = 0;
  virtual void release() = 0;
  virtual bool held() const = 0;
};
std::unique_ptr<SleepInhibitor> createSleepInhibitor();

// The launcher entry's or taskbar button's progress.
class ProgressShown {
 public:
  virtual ~ProgressShown() = default;
  virtual void show(double fraction) = 0;  // 0 to 1
  virtual void failed() = 0;               // an attempt failed; more may follow
  virtual void clear() = 0;
};
// desktopId: the desktop entry's id ("com.zk.NorzaUpdater"); window: the
// native window handle where the platform needs one (0: none).
std::unique_ptr<ProgressShown> createProgressShown(const QString& desktopId, quintptr window);

// A desktop notification; false when no notification service took it.
bool notifyDesktop(const QString& appName, const QString& icon, const QString& summary,
                   const QString& body);

struct Options {
  QString who;        // the program's name, as the inhibitor shows it
  QString why;        // in the user's language
  QString desktopId;  // "com.zk.NorzaUpdater"
  quintptr window = 0;
};

class UpdateDesktop {
 public:
  explicit UpdateDesktop(Options options);
  ~UpdateDesktop();
  UpdateDesktop(const UpdateDesktop&) = delete;
  UpdateDesktop& operator=(const UpdateDesktop&) = delete;

  // Calculators are found: sleep is held off (once) and progress shown.
  void running();
  void progress(double fraction);
  void attemptFailed();
  // The update has ended (done, failed, aborted): the hold is released and
  // the progress cleared.
  void ended();
  bool holding() const;
  // One line for the log when the hold could not be taken; empty otherwise.
  QString note() const { return note_; }

 private:
  Options options_;
  std::unique_ptr<SleepInhibitor> inhibitor_;
  std::unique_ptr<ProgressShown> progress_;
  bool running_ = false;
  QString note_;
};

}  // namespace norza::desktop
