// The log's file on Windows: in the user's own local application data.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "updatelog.h"

QString UpdateLog::defaultPath() {
  // GenericDataLocation is %LOCALAPPDATA% on Windows.
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/ZK/norza-updater/updater.log");
}

void appendToLogFile(const QString& path, const QByteArray& bytes, qint64 maxBytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  // Text mode writes each "\n" as two bytes.
  if (logRotationDue(QFileInfo(path).size(), bytes.size() + bytes.count('\n'), maxBytes)) {
    const QString previous = path + QStringLiteral(".1");
    QFile::remove(previous);
    // If the file cannot be moved aside, the line is dropped rather than the
    // bound broken.
    if (!QFile::rename(path, previous)) return;
  }
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) return;
  file.write(bytes);
}
