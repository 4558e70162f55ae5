// Helpers shared by the updater's tests.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"

namespace apptest {

// Deterministic bytes for a seed.
inline QByteArray patternBytes(int size, uint32_t seed) {
  std::mt19937 random(seed);
  QByteArray bytes(size, '\0');
  for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>(random());
  return bytes;
}

inline std::vector<uint8_t> toVector(const QByteArray& bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path, qint64 offset = 0, qint64 length = -1) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  file.seek(offset);
  return length < 0 ? file.readAll() : file.read(length);
}

// One image file of a set, with the offset it goes to.
struct ImageFile {
  QString name;
  int64_t offset;
  QByteArray bytes;
};

// Writes a complete set into dir: legacy or prefixed names, sizes that are
// whole sectors, distinct contents.
inline std::vector<ImageFile> writeImageSet(const QString& dir, bool prefixed, uint32_t seed = 1) {
  std::vector<ImageFile> files = prefixed
                                     ? std::vector<ImageFile>{{"NORZA_APP.DAT", 0x500000, {}},
                                                              {"NORZA_MASTER.DAT", 0x100000, {}},
                                                              {"NORZA_OS.ROM", 0, {}}}
                                     : std::vector<ImageFile>{{"APPSDISK.DAT", 0x500000, {}},
                                                              {"KORVAARM.ROM", 0, {}},
                                                              {"MASTER.DAT", 0x100000, {}}};
  const int sizes[] = {65536, 40960, 16384 + 512};
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].bytes = patternBytes(sizes[i], seed + static_cast<uint32_t>(i));
    writeFile(dir + QLatin1Char('/') + files[i].name, files[i].bytes);
  }
  return files;
}

// A log of what happened, shared by several threads, that a test can wait on.
class EventLog {
 public:
  void add(const std::string& event) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }
  // Waits until predicate(events) holds; false after the timeout (a failing
  // test, never a pacing device).
  bool waitFor(const std::function<bool(const std::vector<std::string>&)>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return predicate(events_); });
  }
  bool waitForEvent(const std::string& event, int count = 1) {
    return waitFor([&](const std::vector<std::string>& events) {
      int seen = 0;
      for (const std::string& e : events) seen += (e == event) ? 1 : 0;
      return seen >= count;
    });
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

inline int countOf(const std::vector<std::string>& events, const std::string& event) {
  int n = 0;
  for (const std::string& e : events) n += (e == event) ? 1 : 0;
  return n;
}

// The events of an emulated calculator's journal file, in order.
inline std::vector<norza::emu::JournalEvent> readJournal(const QString& path) {
  std::vector<norza::emu::JournalEvent> events;
  for (const QByteArray& line : readFile(path).split('\n')) {
    norza::emu::JournalEvent event;
    if (!line.isEmpty() && norza::emu::ParseJsonLine(line.toStdString(), &event))
      events.push_back(event);
  }
  return events;
}

// Kills the children still running and deletes them all; true when one had
// to be killed.
inline bool killAndDelete(std::vector<QProcess*>& processes) {
  bool killed = false;
  for (QProcess* process : processes) {
    if (process->state() != QProcess::NotRunning) {
      process->kill();
      process->waitForFinished();
      killed = true;
    }
    delete process;
  }
  processes.clear();
  return killed;
}

}  // namespace apptest
