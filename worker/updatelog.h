// The log of the updater's runs: what was found, sent and answered, so that a
// user (or whoever helps them) can find out afterwards what happened. One
// line per event, time-stamped, appended to a file in the user's state folder
// and rotated before it would pass a bound. Written on the GUI thread only;
// never by the link's writer threads.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

class UpdateLog {
 public:
  // $XDG_STATE_HOME/norza-updater/updater.log (~/.local/state when unset);
  // on Windows %LOCALAPPDATA%/ZK/norza-updater/updater.log.
  static QString defaultPath();
  // The log of this process, at defaultPath() (read when first used).
  static UpdateLog& instance();

  // When a line would take the file past maxBytes, the file first becomes
  // <path>.1 (replacing an older one) and a new file is begun: the two
  // together never hold more than twice maxBytes (or two lines, when a
  // line is longer than maxBytes).
  explicit UpdateLog(QString path, qint64 maxBytes = kDefaultMaxBytes);

  // Control characters in line are written escaped (\n, \r, \t, \xHH, \uHHHH
  // for the Unicode line breaks), so a name with a newline cannot forge a
  // line, and a line longer than kMaxLineBytes is cut and marked.
  void write(const QString& line);
  QString path() const { return path_; }

  static constexpr qint64 kDefaultMaxBytes = 512 * 1024;
  static constexpr int kMaxLineBytes = 4096;  // UTF-8, after escaping, without the time
  // What ends a line that was cut.
  static constexpr const char* kCutMark = " [line cut]";

  // The line's text as written after the time: escaped, then capped.
  static QByteArray escapedLine(const QString& line);

 private:
  QMutex mutex_;
  const QString path_;
  const qint64 maxBytes_;
};

// Platform part (updatelog_unix.cpp, updatelog_windows.cpp): appends bytes to
// the file at path, first moving it to <path>.1 when logRotationDue says so.
// A file that cannot be written safely is skipped: the log must never stop
// or hang an update.
void appendToLogFile(const QString& path, const QByteArray& bytes, qint64 maxBytes);
// Whether a file of size bytes must be moved aside before adding more.
inline bool logRotationDue(qint64 size, qint64 adding, qint64 maxBytes) {
  return size > 0 && size + adding > maxBytes;
}
