#include "updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

QString UpdateLog::defaultPath() {
#ifdef Q_OS_WIN
  // GenericDataLocation is %LOCALAPPDATA% on Windows.
  const QString base =
      QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/ZK");
#else
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base))
    base = QDir::homePath() + QStringLiteral("/.local/state");
#endif
  return base + QStringLiteral("/norza-updater/updater.log");
}

UpdateLog& UpdateLog::instance() {
  static UpdateLog log(defaultPath());
  return log;
}

UpdateLog::UpdateLog(QString path, qint64 maxBytes) : path_(std::move(path)), maxBytes_(maxBytes) {}

void UpdateLog::write(const QString& line) {
  QMutexLocker lock(&mutex_);
  QDir().mkpath(QFileInfo(path_).absolutePath());
  if (QFileInfo(path_).size() >= maxBytes_) {
    QFile::remove(path_ + QStringLiteral(".1"));
    QFile::rename(path_, path_ + QStringLiteral(".1"));
  }
  QFile file(path_);
  // A log that cannot be written must never stop an update.
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) return;
  const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
  file.write((stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}
