// A System V segment outlives a killed process, so the segment cannot tell
// whether its owner lives. An flock does: the kernel drops it with the
// process's last descriptor, however the process ends. The lock file must be
// this user's own, in a folder no one else may write to: in the shared temp
// folder a file planted there would block the start, and a planted link
// would have a root updater create its file wherever the link points.
#include "appshell.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor closed on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

QString systemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString refusal(const QString& path, const QString& why) {
  return QStringLiteral(
             "%1 cannot hold the updater's lock (%2). Remove it, or set XDG_RUNTIME_DIR to a "
             "folder only you may use, and start the updater again")
      .arg(path, why);
}

// What a failed open with O_NOFOLLOW met at path.
QString openFault(const QString& path, int error) {
  struct stat status;
  if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode))
    return QStringLiteral("it is a symbolic link");
  if (error == ENOTDIR) return QStringLiteral("it is not a folder");
  return systemText(error);
}

// Why the folder open as fd is not private to this user, or empty.
QString folderFault(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return systemText(errno);
  if (!S_ISDIR(status.st_mode)) return QStringLiteral("it is not a folder");
  if (status.st_uid != ::geteuid())
    return QStringLiteral("it belongs to user %1").arg(status.st_uid);
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    return QStringLiteral("other users may use it: mode %1")
        .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
  return QString();
}

// XDG_RUNTIME_DIR when it names a folder Qt accepts as this user's runtime
// folder (owned by this user, mode 0700); -1 otherwise. Asked for its
// runtime folder without one, Qt makes up <temp>/runtime-<user>, a path
// another user can take first, so Qt is not asked here.
int openRuntimeFolder(QString* path) {
  *path = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (path->isEmpty()) return -1;
  Descriptor folder(
      ::open(QFile::encodeName(*path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat status;
  if (folder.get() < 0 || ::fstat(folder.get(), &status) != 0 || status.st_uid != ::geteuid() ||
      (status.st_mode & 0777) != 0700)
    return -1;
  return folder.release();
}

// Qt's runtime folder becomes the private one. A Wayland display named
// relative to the old runtime folder (sudo -E) stays reachable.
void useAsRuntimeFolder(const QString& path) {
  const QString previous = qEnvironmentVariable("XDG_RUNTIME_DIR");
  const QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
  if (!previous.isEmpty() && !display.isEmpty() && !display.startsWith(QLatin1Char('/')))
    qputenv("WAYLAND_DISPLAY", QFile::encodeName(previous + QLatin1Char('/') + display));
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path));
}

// This user's folder in the temp folder: made 0700, or, when it exists, used
// only if it is a folder (not a link) of this user that no one else may use.
int openPrivateFolder(const QString& path, QString* problem) {
  const QByteArray name = QFile::encodeName(path);
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
    *problem = refusal(path, QStringLiteral("it cannot be made: %1").arg(systemText(errno)));
    return -1;
  }
  Descriptor folder(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) {
    *problem = refusal(path, openFault(path, errno));
    return -1;
  }
  const QString fault = folderFault(folder.get());
  if (!fault.isEmpty()) {
    *problem = refusal(path, fault);
    return -1;
  }
  // Exactly 0700 whatever the umask, as Qt wants its runtime folder.
  ::fchmod(folder.get(), 0700);
  return folder.release();
}

// The holder's name as the lock file's first line: printable text only, as
// short as a name is.
QString holderIn(int fd) {
  char buffer[128];
  const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
  if (got <= 0) return QString();
  QString name = QString::fromUtf8(buffer, static_cast<int>(got)).section(QLatin1Char('\n'), 0, 0);
  for (const QChar c : name) {
    if (!c.isPrint()) return QString();
  }
  return name.trimmed();
}

}  // namespace

QString perUserInstanceKey(const QString& key) {
  return key + QStringLiteral("-uid") + QString::number(::getuid());
}

InstanceLock::InstanceLock(const QString& perUserKey) : key_(perUserKey) {}

InstanceLock::~InstanceLock() {
  // Closing releases the lock. The file stays: removed, one updater could
  // still lock the old file while another creates and locks a new one.
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

InstanceLock::State InstanceLock::acquire() {
  if (handle_ >= 0) return State::Held;
  QString folderPath;
  Descriptor folder(openRuntimeFolder(&folderPath));
  if (folder.get() < 0) {
    folderPath =
        QDir::tempPath() + QStringLiteral("/norza-updater-") + QString::number(::geteuid());
    folder.reset(openPrivateFolder(folderPath, &problem_));
    if (folder.get() < 0) return State::Refused;
    useAsRuntimeFolder(folderPath);
  }

  const QString name = key_ + QStringLiteral(".lock");
  const QString path = folderPath + QLatin1Char('/') + name;
  Descriptor file(::openat(folder.get(), QFile::encodeName(name).constData(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    problem_ = refusal(path, openFault(path, errno));
    return State::Refused;
  }
  struct stat status;
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_uid != ::geteuid()) {
    problem_ = refusal(path, QStringLiteral("it is not a regular file of this user"));
    return State::Refused;
  }
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      holder_ = holderIn(file.get());
      return State::Busy;
    }
    problem_ = refusal(path, QStringLiteral("it cannot be locked: %1").arg(systemText(errno)));
    return State::Refused;
  }
  handle_ = file.release();
  return State::Held;
}

bool InstanceLock::lockDecides() { return true; }

void InstanceLock::recordHolder(const QString& holder) {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  const QByteArray text = holder.toUtf8() + '\n';
  // Only a name for messages: a failure here changes nothing else.
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.constData(), text.size(), 0);
  }
}
