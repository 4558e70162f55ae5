// A named file mapping vanishes with its last handle, so an existing key
// always has a live owner: the key itself is the lock.
#include "appshell.h"

InstanceLock::InstanceLock(const QString& perUserKey) : key_(perUserKey) {}

InstanceLock::~InstanceLock() = default;

InstanceLock::State InstanceLock::acquire() { return State::Held; }

bool InstanceLock::lockDecides() { return false; }

// The key's byte names the holder here.
void InstanceLock::recordHolder(const QString&) {}

QString perUserInstanceKey(const QString& key) { return key; }
