// The application shell: command line, locale table, stored settings, and
// the single-instance guard across real processes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#ifndef _WIN32
#include <QCryptographicHash>
#include <QSystemSemaphore>

#include <chrono>
#include <thread>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#endif

#include "appshell.h"

namespace {

TEST(CommandLine, OnlyExactlyThreeEntriesCount) {
  struct Case {
    QStringList arguments;
    QString folder;
    int number;
  };
  const Case cases[] = {
      {{"updater"}, "", 1},
      {{"updater", "/fw"}, "", 1},
      {{"updater", "/fw", "3"}, "/fw", 3},
      {{"updater", "C:\\fw", "12"}, "C:\\fw", 12},
      {{"updater", "/fw", "-1"}, "/fw", -1},
      {{"updater", "/fw", "two"}, "/fw", 0},
      {{"updater", "/fw", "0x3"}, "/fw", 0},
      {{"updater", "", "5"}, "", 5},
      {{"updater", "/fw", "3", "extra"}, "", 1},
  };
  for (const Case& c : cases) {
    const CommandLine line = parseCommandLine(c.arguments);
    EXPECT_EQ(line.folder, c.folder) << c.arguments.join(' ').toStdString();
    EXPECT_EQ(line.number, c.number) << c.arguments.join(' ').toStdString();
  }
}

TEST(CommandLine, HelpVersionAndALoneFolderAreAnsweredFirst) {
  EXPECT_EQ(earlyAnswer({"updater", "--help"}), EarlyAnswer::Help);
  EXPECT_EQ(earlyAnswer({"updater", "-h"}), EarlyAnswer::Help);
  EXPECT_EQ(earlyAnswer({"updater", "--version"}), EarlyAnswer::Version);
  EXPECT_EQ(earlyAnswer({"updater", "/fw"}), EarlyAnswer::LanguageMissing);
  for (const QStringList& normal : {QStringList{"updater"}, QStringList{"updater", "/fw", "3"},
                                    QStringList{"updater", "--help", "3"}}) {
    EXPECT_EQ(earlyAnswer(normal), EarlyAnswer::None) << normal.join(' ').toStdString();
  }
  EXPECT_TRUE(earlyAnswerText(EarlyAnswer::LanguageMissing, "norza-updater").contains("language"));
}

TEST(Language, LocaleNamesMapToTheLanguageIndex) {
  const std::pair<const char*, int> cases[] = {
      {"pt_BR", 7}, {"zh_TW", 2}, {"fr_CA", 3}, {"ru_RU", 1},     {"C", 1},
      {"de_AT", 4}, {"en_US", 1}, {"es_ES", 5}, {"nl_BE", 6},     {"ja_JP", 8},
      {"de", 1},    {"", 1},      {"De_de", 4}, {"zh_Hant_TW", 1}};
  for (const auto& [name, index] : cases) {
    EXPECT_EQ(languageForLocaleName(QString::fromLatin1(name)), index) << name;
  }
  EXPECT_EQ(systemLanguage(), languageForLocaleName(QLocale::system().name()));
}

TEST(Language, AcceptedRangeIsZeroToEight) {
  for (int i = 0; i <= 8; ++i) EXPECT_TRUE(isAcceptedLanguage(i)) << i;
  for (int i : {-1, 9, 12, -2147483647 - 1}) EXPECT_FALSE(isAcceptedLanguage(i)) << i;
}

TEST(Settings, ReadRawValuesAndSlashes) {
  QSettings stored(QStringLiteral("ZK"), QStringLiteral("Calvora"));
  stored.clear();
  stored.sync();
  SuiteSettings none = readSuiteSettings();
  EXPECT_EQ(none.language, systemLanguage());
  EXPECT_EQ(none.workFolder, documentsFolder() + "/Calvora");

  stored.setValue("Language", "abc");
  stored.setValue("WorkFolder", "\\\\server\\share\\Calvora");
  stored.sync();
  SuiteSettings odd = readSuiteSettings();
  EXPECT_EQ(odd.language, 0);
  EXPECT_EQ(odd.workFolder, "//server/share/Calvora");
  stored.setValue("Language", -1);
  stored.sync();
  EXPECT_EQ(readSuiteSettings().language, -1);  // the caller's rule makes it 1
  stored.clear();
  EXPECT_EQ(QCoreApplication::organizationDomain(), QLatin1String(kSettingsDomain));
}

#ifndef _WIN32
// Windows keeps the settings in the registry (tests/windows).

// A hand-edited settings file is UTF-8, as the README tells users to write it.
TEST(Settings, AHandWrittenFileIsReadAsUtf8) {
  const QString file = QSettings(QStringLiteral("ZK"), QStringLiteral("Calvora")).fileName();
  QDir().mkpath(QFileInfo(file).absolutePath());
  QFile out(file);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
  out.write(
      "[General]\nWorkFolder=/home/ana/Fichiers mis \xc3\xa0 jour/\xe5\x9b\xba\xe4\xbb\xb6\nLanguage=3\n");
  out.close();
  const SuiteSettings read = readSuiteSettings();
  EXPECT_EQ(read.workFolder,
            QString::fromUtf8("/home/ana/Fichiers mis \xc3\xa0 jour/\xe5\x9b\xba\xe4\xbb\xb6"));
  EXPECT_EQ(read.language, 3);
  QFile::remove(file);
}
#endif

// Each probe is a real process claiming the key.
class Probe {
 public:
  explicit Probe(const QString& key) { process_.start(QStringLiteral(NORZA_GUARD_PROBE), {key}); }
#ifndef _WIN32
  // The probe as another user (through setpriv), with the given temp folder.
  Probe(const QString& key, uid_t uid, const QString& tmp) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp);
    process_.setProcessEnvironment(env);
    process_.start(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid),
                    QStringLiteral("--clear-groups"), QStringLiteral(NORZA_GUARD_PROBE), key});
  }
#endif
  ~Probe() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(20000)) process_.kill();
    process_.waitForFinished();
  }
  // The first line the probe writes.
  QString answer() {
    if (!process_.waitForReadyRead(20000)) return QStringLiteral("(no answer)");
    return QString::fromLatin1(process_.readLine()).trimmed();
  }
  bool endsWithZero() { return process_.waitForFinished(20000) && process_.exitCode() == 0; }
  void release() { process_.closeWriteChannel(); }
  // SIGKILL, or TerminateProcess on Windows: the probe cannot clean up.
  void kill() {
    process_.kill();
    process_.waitForFinished(20000);
  }

 private:
  QProcess process_;
};

TEST(SingleInstance, SecondIsRefusedAndAKilledHolderDoesNotBlockTheNext) {
  const QString key =
      QStringLiteral("CALVUD-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
  Probe first(key);
  ASSERT_EQ(first.answer(), "held");
  Probe second(key);
  EXPECT_EQ(second.answer(), "refused");
  EXPECT_TRUE(second.endsWithZero());

  first.kill();  // leaves its segment behind
  Probe third(key);
  EXPECT_EQ(third.answer(), "held");
  Probe fourth(key);
  EXPECT_EQ(fourth.answer(), "refused");
  third.release();
  EXPECT_TRUE(third.endsWithZero());

  // After a clean exit the key is free again.
  Probe fifth(key);
  EXPECT_EQ(fifth.answer(), "held");
  fifth.release();
  EXPECT_TRUE(fifth.endsWithZero());
}

#ifndef _WIN32
// The key's file lives in a temp folder every user shares: another user's
// updater, running or killed, never stops this user's.
TEST(SingleInstance, AnotherUsersHolderDoesNotBlockThisUser) {
  if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
    GTEST_SKIP() << "needs root and setpriv to run a probe as another user";
  }
  QTemporaryDir shared;
  ASSERT_TRUE(shared.isValid());
  QFile::setPermissions(shared.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                           QFileDevice::WriteOther | QFileDevice::ExeOther);
  const QString key =
      QStringLiteral("CALVUD-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
  Probe root(key, 0, shared.path());
  ASSERT_EQ(root.answer(), "held");
  Probe other(key, 65534, shared.path());
  EXPECT_EQ(other.answer(), "held");
  other.release();
  EXPECT_TRUE(other.endsWithZero());
  Probe rootAgain(key, 0, shared.path());
  EXPECT_EQ(rootAgain.answer(), "refused");
}

// A System V segment at the key's place that the updater can neither attach
// nor remove, as another user can plant in the shared temp folder. Mode 0
// keeps a non-root probe out; root may attach anything, but a segment still
// attached here is not removed by the probe's detach.
class PlantedSegment {
 public:
  explicit PlantedSegment(const QString& perUserKey)
      : file_(QSharedMemory(perUserKey).nativeKey()) {
    QFile key(file_);
    if (!key.open(QIODevice::WriteOnly)) return;
    key.close();
    id_ =
        ::shmget(::ftok(QFile::encodeName(file_).constData(), 'Q'), 1, IPC_CREAT | IPC_EXCL | 0600);
    if (id_ < 0) return;
    memory_ = ::shmat(id_, nullptr, 0);
    struct shmid_ds status;
    if (::shmctl(id_, IPC_STAT, &status) != 0) return;
    status.shm_perm.mode = 0;
    planted_ = memory_ != reinterpret_cast<void*>(-1) && ::shmctl(id_, IPC_SET, &status) == 0;
  }
  ~PlantedSegment() {
    if (id_ >= 0) ::shmctl(id_, IPC_RMID, nullptr);
    if (memory_ != reinterpret_cast<void*>(-1)) ::shmdt(memory_);
    QFile::remove(file_);
  }
  bool planted() const { return planted_; }

 private:
  const QString file_;
  int id_ = -1;
  void* memory_ = reinterpret_cast<void*>(-1);
  bool planted_ = false;
};

// Holding this user's lock proves that no updater of this user lives, so a
// key someone else holds must not stop the start; the lock still turns a
// second start away.
TEST(SingleInstance, AKeyHeldByAnotherDoesNotStopTheStart) {
  const QString key =
      QStringLiteral("CALVUD-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
  PlantedSegment planted(perUserInstanceKey(key));
  ASSERT_TRUE(planted.planted());
  Probe first(key);
  EXPECT_EQ(first.answer(), "held without key");
  Probe second(key);
  EXPECT_EQ(second.answer(), "refused");
  first.release();
  EXPECT_TRUE(first.endsWithZero());
}

// Qt guards a key with a System V semaphore of its own, named after the key
// in the shared temp folder. Someone waiting on it takes the one unit Qt
// puts in before locking, and Qt's lock then waits for good: the guard must
// not use it.
TEST(SingleInstance, AKeysSemaphoreHeldByAnotherDoesNotBlockTheStart) {
  const QString key =
      QStringLiteral("CALVUD-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
  const QString perUserKey = perUserInstanceKey(key);
  QSystemSemaphore semaphore(perUserKey, 0, QSystemSemaphore::Create);
  ASSERT_EQ(semaphore.error(), QSystemSemaphore::NoError);
  std::thread taker([&] { semaphore.acquire(); });
  // Qt 5's file for the semaphore, to see the taker wait.
  QString file = QDir::tempPath() + QStringLiteral("/qipc_systemsem_");
  for (const QChar c : perUserKey) {
    if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
        (c >= QLatin1Char('A') && c <= QLatin1Char('Z')))
      file += c;
  }
  file += QString::fromLatin1(
      QCryptographicHash::hash(perUserKey.toUtf8(), QCryptographicHash::Sha1).toHex());
  const int id = ::semget(::ftok(QFile::encodeName(file).constData(), 'Q'), 1, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (id >= 0 && ::semctl(id, 0, GETNCNT) < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  const bool waiting = id >= 0 && ::semctl(id, 0, GETNCNT) == 1;
  {
    Probe probe(key);
    if (waiting) {
      EXPECT_EQ(probe.answer(), "held");
    }
    semaphore.release();  // to the taker, or to a probe that waits on it
    taker.join();
    probe.release();
  }
  ASSERT_TRUE(waiting);
}
#endif

}  // namespace
