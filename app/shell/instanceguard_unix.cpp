// A System V segment outlives a killed process, so the segment cannot tell
// whether its owner lives. An flock does: the kernel drops it with the
// process's last descriptor, however the process ends.
#include "appshell.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString lockFolder() {
  // Without XDG_RUNTIME_DIR, Qt would make up a folder and warn about it.
  if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty()) return runtime;
  }
  return QDir::tempPath();
}

}  // namespace

QString perUserInstanceKey(const QString& key) {
  return key + QStringLiteral("-uid") + QString::number(::getuid());
}

InstanceLock::InstanceLock(const QString& perUserKey) {
  const QByteArray path =
      QFile::encodeName(lockFolder() + QLatin1Char('/') + perUserKey + QStringLiteral(".lock"));
  handle_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

InstanceLock::~InstanceLock() {
  // Closing releases the lock. The file stays: removed, one updater could
  // still lock the old file while another creates and locks a new one.
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool InstanceLock::acquire() {
  if (handle_ < 0) return false;
  return ::flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0;
}

bool InstanceLock::existingKeyIsStale() { return true; }
