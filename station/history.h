// The station's history: one CSV line per round as it ends, appended and
// never rewritten, so a class's record lasts across runs. Written on the
// engine's thread; read by --history.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

#include "update_session.h"

namespace norza::station {

struct ImageRecord {
  QString name;
  QString sha256;  // hex, lower case; empty when the file could not be read
};

// The SHA-256 of a file's bytes, hex; empty when it cannot be read.
QString Sha256OfFile(const QString& path);

class StationHistory {
 public:
  // $XDG_STATE_HOME/norza-station/history.csv (~/.local/state when unset);
  // on Windows %LOCALAPPDATA%/ZK/norza-station/history.csv: beside the
  // updater's log folder.
  static QString defaultPath();
  static QString header();

  StationHistory(QString path, std::vector<ImageRecord> images);
  QString path() const { return path_; }

  // The round's line, the header first when the file is new or empty.
  void append(const session::Round& round, const QDateTime& when);
  QString lineOf(const session::Round& round, const QDateTime& when) const;

  // The lines (without the header) whose time falls on day (UTC).
  static QStringList linesOfDay(const QString& path, const QDate& day, bool* found);

 private:
  const QString path_;
  QString images_;  // the images column, the same for every line of this run
};

}  // namespace norza::station
