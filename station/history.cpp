#include "history.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

#include "updatelog.h"

namespace norza::station {

namespace {

// One CSV field (RFC 4180). Control characters become spaces, so a name
// from a device cannot break a line; a field a spreadsheet would take for a
// formula is prefixed with a quote.
QString Field(QString text) {
  for (QChar& c : text) {
    if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
        c == QChar::ParagraphSeparator)
      c = QLatin1Char(' ');
  }
  if (!text.isEmpty() && QStringLiteral("=+-@").contains(text.front()))
    text.prepend(QLatin1Char('\''));
  if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"'))) {
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    text = QLatin1Char('"') + text + QLatin1Char('"');
  }
  return text;
}

}  // namespace

QString Sha256OfFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QString();
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&file)) return QString();
  return QString::fromLatin1(hash.result().toHex());
}

QString StationHistory::defaultPath() {
  // The updater's log lives in <state>/norza-updater/; the station's
  // history goes beside it.
  const QDir state = QFileInfo(QFileInfo(UpdateLog::defaultPath()).absolutePath()).dir();
  return state.absoluteFilePath(QStringLiteral("norza-station/history.csv"));
}

QString StationHistory::header() {
  return QStringLiteral("time,serial,port,images,outcome,code,reason");
}

StationHistory::StationHistory(QString path, std::vector<ImageRecord> images)
    : path_(std::move(path)) {
  QStringList parts;
  for (const ImageRecord& image : images) parts << image.name + QLatin1Char('=') + image.sha256;
  images_ = parts.join(QLatin1Char(' '));
}

QString StationHistory::lineOf(const session::Round& round, const QDateTime& when) const {
  const QString serial = QString::fromStdString(round.identity.serial);
  const QStringList fields = {
      when.toUTC().toString(Qt::ISODate),
      Field(serial.isEmpty() ? QString::fromStdWString(round.identity.interfacePath) : serial),
      Field(QString::fromStdString(round.identity.port)),
      Field(images_),
      QLatin1String(session::RoundEndWord(round.end)),
      QString::number(round.code),
      Field(QString::fromStdString(round.reason)),
  };
  return fields.join(QLatin1Char(','));
}

void StationHistory::append(const session::Round& round, const QDateTime& when) {
  QByteArray bytes;
  if (QFileInfo(path_).size() == 0) bytes = header().toUtf8() + '\n';
  bytes += lineOf(round, when).toUtf8() + '\n';
  // The log's careful append (no links followed, only this user's file),
  // with no bound: the history is never rotated or rewritten.
  appendToLogFile(path_, bytes, std::numeric_limits<qint64>::max());
}

QStringList StationHistory::linesOfDay(const QString& path, const QDate& day, bool* found) {
  QStringList lines;
  QFile file(path);
  *found = file.open(QIODevice::ReadOnly | QIODevice::Text);
  if (!*found) return lines;
  const QString prefix = day.toString(Qt::ISODate) + QLatin1Char('T');
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    if (line.startsWith(prefix)) lines << line;
  }
  return lines;
}

}  // namespace norza::station
