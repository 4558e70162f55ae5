// The log's file on Unix. Its folder may be reached through the user's
// HOME by a root updater (sudo -E), and the user may have put anything at
// the file's path: a link must not be followed, a FIFO must not block, and
// only a folder and a file of this user are written to.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "updatelog.h"

namespace {

// The log opened from its folder, when it is a regular file of this user;
// -1 otherwise. size is what it holds.
int openLog(int folder, const QByteArray& name, qint64* size) {
  const int fd =
      ::openat(folder, name.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
    ::close(fd);
    return -1;
  }
  *size = status.st_size;
  return fd;
}

// Makes the log's folder only below a folder of this user or of root: an
// updater run as root with a user's HOME must not leave root's folders in
// that home, nor make them where a link of that user points.
void makeFolder(const QString& path) {
  QString existing = path;
  struct stat status;
  while (::lstat(QFile::encodeName(existing).constData(), &status) != 0) {
    if (errno != ENOENT) return;
    const QString parent = QFileInfo(existing).path();
    if (parent == existing) return;
    existing = parent;
  }
  if (existing != path && (status.st_uid == ::geteuid() || status.st_uid == 0)) QDir().mkpath(path);
}

}  // namespace

QString UpdateLog::defaultPath() {
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base))
    base = QDir::homePath() + QStringLiteral("/.local/state");
  return base + QStringLiteral("/norza-updater/updater.log");
}

void appendToLogFile(const QString& path, const QByteArray& bytes, qint64 maxBytes) {
  const QFileInfo info(path);
  const QString folderPath = info.absolutePath();
  makeFolder(folderPath);
  const int folder = ::open(QFile::encodeName(folderPath).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  struct stat status;
  const QByteArray name = QFile::encodeName(info.fileName());
  qint64 size = 0;
  int fd = -1;
  if (::fstat(folder, &status) == 0 && status.st_uid == ::geteuid())
    fd = openLog(folder, name, &size);
  if (fd >= 0 && logRotationDue(size, bytes.size(), maxBytes)) {
    ::close(fd);
    fd = -1;
    // rename replaces an older .1 in one step; if it fails, the line is
    // dropped rather than the bound broken.
    if (::renameat(folder, name.constData(), folder, (name + ".1").constData()) == 0)
      fd = openLog(folder, name, &size);
  }
  ::close(folder);
  if (fd < 0) return;
  const char* data = bytes.constData();
  qint64 left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    data += written;
    left -= written;
  }
  ::close(fd);
}
