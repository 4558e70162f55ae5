// A named file mapping vanishes with its last handle, so an existing key
// always has a live owner: the key itself is the lock.
#include "appshell.h"

InstanceLock::InstanceLock(const QString&) {}

InstanceLock::~InstanceLock() = default;

bool InstanceLock::acquire() { return true; }

bool InstanceLock::existingKeyIsStale() { return false; }

QString perUserInstanceKey(const QString& key) { return key; }
