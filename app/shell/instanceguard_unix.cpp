// System V shared memory outlives a killed process; its attach count tells
// whether the segment still has a live user.
#include "appshell.h"

#include <QFile>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

QString perUserInstanceKey(const QString& key) {
  return key + QStringLiteral("-uid") + QString::number(::getuid());
}

bool sharedSegmentHasOtherUsers(const QSharedMemory& attached) {
  // Qt derives the System V key from its key file with the project id 'Q'.
  const key_t key = ftok(QFile::encodeName(attached.nativeKey()).constData(), 'Q');
  if (key == -1) return true;
  const int id = shmget(key, 0, 0);
  if (id == -1) return true;
  struct shmid_ds info {};
  if (shmctl(id, IPC_STAT, &info) == -1) return true;
  return info.shm_nattch > 1;
}
