// QSettings opens its files blocking: a FIFO at a settings path would hang
// the updater (and, holding the guard, every later start). Each file it
// would read is opened without blocking first and must be a regular file.
#include "appshell.h"

#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString settingsFileProblem() {
  // QSettings' user files: the application's and the organization's.
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                       QLatin1Char('/') + QLatin1String(kSettingsOrganization);
  for (const QString& path :
       {base + QLatin1Char('/') + QLatin1String(kSettingsApplication) + QStringLiteral(".conf"),
        base + QStringLiteral(".conf")}) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    // Missing or unreadable: QSettings reads nothing from it either.
    if (fd < 0) continue;
    struct stat status;
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    ::close(fd);
    if (!regular)
      return QStringLiteral("the settings file %1 is not a regular file; the defaults are used")
          .arg(path);
  }
  return QString();
}
