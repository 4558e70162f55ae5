#include "updatelog.h"

#include <QDateTime>
#include <QMutexLocker>

#include <cstring>

UpdateLog& UpdateLog::instance() {
  static UpdateLog log(defaultPath());
  return log;
}

UpdateLog::UpdateLog(QString path, qint64 maxBytes) : path_(std::move(path)), maxBytes_(maxBytes) {}

QByteArray UpdateLog::escapedLine(const QString& line) {
  QString escaped;
  escaped.reserve(line.size());
  for (const QChar c : line) {
    const ushort code = c.unicode();
    // C0, DEL and C1 controls, and the two Unicode line breaks some viewers
    // honour.
    const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
    if (!control && code != 0x2028 && code != 0x2029) {
      escaped += c;
    } else if (code == '\n') {
      escaped += QLatin1String("\\n");
    } else if (code == '\r') {
      escaped += QLatin1String("\\r");
    } else if (code == '\t') {
      escaped += QLatin1String("\\t");
    } else if (control) {
      escaped += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
    } else {
      escaped += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
    }
  }
  QByteArray bytes = escaped.toUtf8();
  if (bytes.size() <= kMaxLineBytes) return bytes;
  int cut = kMaxLineBytes - static_cast<int>(std::strlen(kCutMark));
  // Never inside a character: back up over UTF-8 continuation bytes.
  while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xC0) == 0x80) --cut;
  bytes.truncate(cut);
  return bytes + kCutMark;
}

void UpdateLog::write(const QString& line) {
  const QByteArray stamp = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
  const QByteArray text = stamp + ' ' + escapedLine(line) + '\n';
  QMutexLocker lock(&mutex_);
  appendToLogFile(path_, text, maxBytes_);
}
