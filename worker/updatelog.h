// The log of the updater's runs: what was found, sent and answered, so that a
// user (or whoever helps them) can find out afterwards what happened. One
// line per event, time-stamped, appended to a file in the user's state folder
// and rotated once it passes a bound. Written on the GUI thread only; never
// by the link's writer threads.
#pragma once

#include <QMutex>
#include <QString>

class UpdateLog {
 public:
  // $XDG_STATE_HOME/norza-updater/updater.log (~/.local/state when unset);
  // on Windows %LOCALAPPDATA%/ZK/norza-updater/updater.log.
  static QString defaultPath();
  // The log of this process, at defaultPath() (read when first used).
  static UpdateLog& instance();

  // Once the file holds maxBytes or more, it becomes <path>.1 (replacing an
  // older one) and a new file is begun: at most about twice maxBytes on disk.
  explicit UpdateLog(QString path, qint64 maxBytes = kDefaultMaxBytes);

  void write(const QString& line);
  QString path() const { return path_; }

  static constexpr qint64 kDefaultMaxBytes = 512 * 1024;

 private:
  QMutex mutex_;
  const QString path_;
  const qint64 maxBytes_;
};
