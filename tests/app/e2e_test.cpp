// End to end: the real norza-updater, offscreen, against emulated
// calculators in a folder, with the pacing scaled down and the user's
// settings and temp folder isolated. Checks what a user would: the exit
// code, every byte on every calculator, and what each calculator saw.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app_test_util.h"
#include "appshell.h"
#include "emulator.h"
#include "emulator_dir.h"

namespace {

using norza::emu::JournalEvent;

class UpdaterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    for (const char* sub : {"calcs", "fw", "home", "tmp"})
      ASSERT_TRUE(QDir(root_.path()).mkpath(sub));
  }
  void TearDown() override {
    const bool killed = apptest::killAndDelete(processes_);
#ifndef _WIN32
    // An updater killed here leaves its key behind. One that takes it over
    // and ends by itself (no image set, exit on failure) releases it.
    if (killed) {
      exitCodeOf(start({dir("home"), QStringLiteral("1")}, {{"NORZA_EXIT_ON_FAILURE", "1"}}));
      delete processes_.back();
      processes_.clear();
    }
#endif
  }

  QString dir(const char* sub) const { return root_.filePath(QString::fromLatin1(sub)); }

  void plug(const std::string& name, const norza::emu::Faults& faults = {}) {
    norza::emu::PlugOptions options;
    options.size = 8 << 20;
    options.faults = faults;
    std::string error;
    ASSERT_TRUE(norza::emu::PlugDisk(dir("calcs").toStdString(), name, options, &error)) << error;
  }

  QProcess* start(const QStringList& arguments,
                  const std::vector<std::pair<QString, QString>>& extraEnvironment = {},
                  QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel) {
    auto* process = new QProcess();
    processes_.push_back(process);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifndef _WIN32
    // Windows: the static Updater.exe has only its own platform (the check
    // runs it under Xvfb).
    env.insert("QT_QPA_PLATFORM", "offscreen");
#endif
    env.insert("NORZA_PACE_SCALE", "0.01");
    env.insert("NORZA_EMULATOR_DIR", dir("calcs"));
    env.insert("HOME", dir("home"));
    env.insert("XDG_CONFIG_HOME", dir("home") + "/.config");
    env.insert("XDG_RUNTIME_DIR", dir("home"));
    env.insert("XDG_STATE_HOME", dir("home") + "/state");
    env.insert("TMPDIR", dir("tmp"));  // the instance key lives here: one per test
    for (const auto& [name, value] : extraEnvironment) env.insert(name, value);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(channels);
    process->start(QStringLiteral(NORZA_UPDATER), arguments);
    return process;
  }
  QProcess* startUpdate() { return start({dir("fw"), QStringLiteral("1")}); }

  static int exitCodeOf(QProcess* process) {
    if (!process->waitForFinished(120000)) return -1;
    return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -2;
  }

  std::vector<JournalEvent> journal(const std::string& name) const {
    return apptest::readJournal(dir("calcs") + "/" + QString::fromStdString(name) + ".journal");
  }
  std::vector<uint32_t> progress(const std::string& name) const {
    std::vector<uint32_t> out;
    for (const JournalEvent& e : journal(name)) {
      if (e.event == "command" && e.name == "CMD_PROGRESS") out.push_back(e.parameter);
    }
    return out;
  }
  int commands(const std::string& name, const std::string& command, int parameter = -1) const {
    int n = 0;
    for (const JournalEvent& e : journal(name)) {
      n += (e.event == "command" && e.name == command &&
            (parameter < 0 || e.parameter == static_cast<uint32_t>(parameter)));
    }
    return n;
  }
  void expectImages(const std::string& name) const {
    const QString disk = dir("calcs") + "/" + QString::fromStdString(name) + ".disk";
    for (const apptest::ImageFile& file : files_) {
      EXPECT_EQ(apptest::readFile(disk, file.offset, file.bytes.size()), file.bytes)
          << name << " " << file.name.toStdString();
    }
  }
  // The last command a calculator saw was CMD_FINISH.
  void expectFinishedLast(const std::string& name) const {
    std::string last;
    for (const JournalEvent& e : journal(name)) {
      if (e.event == "command") last = e.name;
    }
    EXPECT_EQ(last, "CMD_FINISH") << name;
  }

  // Waits, on file-change events, until predicate holds.
  bool waitForFiles(const QString& watched, const std::function<bool()>& predicate) {
    QFileSystemWatcher watcher({watched});
    QSignalSpy fileChanged(&watcher, &QFileSystemWatcher::fileChanged);
    QSignalSpy dirChanged(&watcher, &QFileSystemWatcher::directoryChanged);
    for (int rounds = 0; rounds < 2000; ++rounds) {
      if (predicate()) return true;
      watcher.addPath(watched);  // a file replaced by rename drops out of the watch
      if (fileChanged.isEmpty() && dirChanged.isEmpty()) fileChanged.wait(200);
      fileChanged.clear();
      dirChanged.clear();
    }
    return predicate();
  }

  QTemporaryDir root_;
  std::vector<apptest::ImageFile> files_;
  std::vector<QProcess*> processes_;
};

TEST_F(UpdaterRun, TwoCalculatorsGetEveryByteAndTheUpdaterExitsWithZero) {
  files_ = apptest::writeImageSet(dir("fw"), false, 3);
  plug("alpha");
  plug("beta");
  EXPECT_EQ(exitCodeOf(startUpdate()), 0);
  for (const std::string name : {"alpha", "beta"}) {
    expectImages(name);
    // Each image: 0, the whole-chunk percents, then 100.
    EXPECT_EQ(progress(name),
              (std::vector<uint32_t>{0, 25, 50, 75, 100, 0, 40, 80, 100, 0, 96, 100}))
        << name;
    EXPECT_EQ(commands(name, "CMD_FINISH"), 1);
    expectFinishedLast(name);
  }
}

TEST_F(UpdaterRun, AFailedTransferIsRetriedAndTheUpdateSucceeds) {
  files_ = apptest::writeImageSet(dir("fw"), false, 7);
  norza::emu::Faults faults;
  faults.failWrites = 7;  // the first chunk fails all seven attempts once
  plug("alpha", faults);
  plug("beta");
  EXPECT_EQ(exitCodeOf(startUpdate()), 0);
  expectImages("alpha");
  expectImages("beta");
  // Four starts of a transfer on each: the failed one and the three images.
  EXPECT_EQ(commands("alpha", "CMD_PROGRESS", 0), 4);
  EXPECT_EQ(commands("beta", "CMD_PROGRESS", 0), 4);
  expectFinishedLast("alpha");
}

// Exactly six transfers for six failures, whatever the pacing, and a
// calculator with a torn image is never told the update is over.
TEST_F(UpdaterRun, SixFailuresOfOneImageEndTheUpdateWithoutTheFinish) {
  files_ = apptest::writeImageSet(dir("fw"), false, 9);
  norza::emu::Faults faults;
  faults.failWrites = 1000;
  plug("alpha", faults);
  for (const char* scale : {"0.01", "0"}) {
    SCOPED_TRACE(scale);
    QFile::remove(dir("calcs") + "/alpha.journal");
    QProcess* updater = start({dir("fw"), QStringLiteral("1")},
                              {{"NORZA_EXIT_ON_FAILURE", "1"}, {"NORZA_PACE_SCALE", scale}});
    EXPECT_EQ(exitCodeOf(updater), 1);
    int opens = 0;
    for (const JournalEvent& e : journal("alpha")) opens += e.event == "open";
    EXPECT_EQ(opens, 6);
    EXPECT_EQ(commands("alpha", "CMD_PROGRESS", 0), 6);
    EXPECT_EQ(commands("alpha", "CMD_PROGRESS", 100), 0);
    EXPECT_EQ(commands("alpha", "CMD_FINISH"), 0);
  }
}

#ifndef _WIN32
// Linux only: the log is read from the XDG state folder set above; on
// Windows it is in the user's local application data, which a test cannot
// redirect.

// A disk the user may not open: retried like any failure, then explained
// (what happened, what to do) in the log and under the status; nothing is
// written or finished.
TEST_F(UpdaterRun, NoAccessToTheDiskIsExplained) {
  files_ = apptest::writeImageSet(dir("fw"), false, 11);
  norza::emu::Faults faults;
  faults.denyOpens = 100;
  plug("alpha", faults);
  EXPECT_EQ(exitCodeOf(start({dir("fw"), QStringLiteral("1")}, {{"NORZA_EXIT_ON_FAILURE", "1"}})),
            1);
  const QString log =
      QString::fromUtf8(apptest::readFile(dir("home") + "/state/norza-updater/updater.log"));
  EXPECT_TRUE(log.contains("update failed (107): You may not write to the calculator's disk"))
      << log.toStdString();
  EXPECT_TRUE(log.contains("Install the updater's udev rule"));
  EXPECT_EQ(log.count("retry "), 5);
  // Not the machine's disks, and the log says so from its first line.
  EXPECT_TRUE(log.section('\n', 0, 0).contains(" started: ") &&
              log.section('\n', 0, 0).contains(", emulated calculators in "))
      << log.toStdString();
  EXPECT_EQ(commands("alpha", "CMD_FINISH"), 0);
  for (const JournalEvent& e : journal("alpha")) EXPECT_NE(e.event, "write");
}

// The updater writes its start to the log only once it holds the key; a
// start that gives way says so, on stderr and in the log. On Windows,
// tests/windows/windows_app_test.cpp checks the key.
TEST_F(UpdaterRun, SecondStartExitsAtOnceAndAKilledFirstDoesNotBlockTheNext) {
  files_ = apptest::writeImageSet(dir("fw"), false, 17);
  const QString log = dir("home") + "/state/norza-updater/updater.log";
  ASSERT_TRUE(QDir().mkpath(QFileInfo(log).absolutePath()));
  ASSERT_TRUE(apptest::writeFile(log, QByteArray()));
  const auto startsLogged = [&] {
    return QString::fromUtf8(apptest::readFile(log)).count(" started: ");
  };
  QProcess* first = startUpdate();  // no calculator: it keeps waiting
  ASSERT_TRUE(waitForFiles(log, [&] { return startsLogged() == 1; }));
  QProcess* second = start({dir("fw"), QStringLiteral("1")}, {}, QProcess::SeparateChannels);
  EXPECT_EQ(exitCodeOf(second), 0);
  const QString givenWay = QStringLiteral("another updater of this user is running");
  EXPECT_TRUE(QString::fromLocal8Bit(second->readAllStandardError())
                  .contains(QStringLiteral("norza-updater: ") + givenWay));
  EXPECT_EQ(QString::fromUtf8(apptest::readFile(log)).count(givenWay), 1);
  EXPECT_EQ(first->state(), QProcess::Running);
  EXPECT_EQ(startsLogged(), 1);

  // Killed, the first cannot release its key; the next start still runs the
  // whole update.
  first->kill();
  ASSERT_TRUE(first->waitForFinished(20000));
  plug("alpha");
  EXPECT_EQ(exitCodeOf(startUpdate()), 0);
  EXPECT_EQ(startsLogged(), 2);
  expectImages("alpha");
  expectFinishedLast("alpha");
}

// Without a runtime folder (su, sudo, ssh) the lock lives in a folder of
// this user in the temp folder all users share, which is also Qt's runtime
// folder. One that someone else made first (a link, another owner, open to
// others) is refused with what to do, never used.
TEST_F(UpdaterRun, WithoutARuntimeFolderTheLockIsInAFolderOnlyThisUserMayUse) {
  const std::vector<std::pair<QString, QString>> noRuntime = {
      {"XDG_RUNTIME_DIR", ""}, {"NORZA_EXIT_ON_FAILURE", "1"}};  // no image set: exit 1
  const QString folder = dir("tmp") + "/norza-updater-" + QString::number(::geteuid());
  EXPECT_EQ(exitCodeOf(start({dir("fw"), QStringLiteral("1")}, noRuntime)), 1);
  struct stat status;
  ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_TRUE(
      QDir(dir("tmp")).entryList({QStringLiteral("runtime-*")}, QDir::AllEntries).isEmpty());

  ASSERT_TRUE(QDir(folder).removeRecursively());
  const QString elsewhere = root_.filePath("elsewhere");
  ASSERT_TRUE(QDir().mkpath(elsewhere));
  ASSERT_TRUE(QFile::link(elsewhere, folder));
  QProcess* linked = start({dir("fw"), QStringLiteral("1")}, noRuntime, QProcess::SeparateChannels);
  EXPECT_EQ(exitCodeOf(linked), kExitLockRefused);
  const QString linkedSays = QString::fromLocal8Bit(linked->readAllStandardError());
  EXPECT_TRUE(
      linkedSays.contains(folder + " cannot hold the updater's lock (it is a symbolic link)"))
      << linkedSays.toStdString();
  EXPECT_TRUE(linkedSays.contains("XDG_RUNTIME_DIR"));
  EXPECT_TRUE(QDir(elsewhere).isEmpty());

  ASSERT_TRUE(QFile::remove(folder));
  ASSERT_TRUE(QDir().mkdir(folder));
  // Root can make the folder another user's; anyone can open it to others.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0700), 0);
  } else {
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
  }
  QProcess* foreign =
      start({dir("fw"), QStringLiteral("1")}, noRuntime, QProcess::SeparateChannels);
  EXPECT_EQ(exitCodeOf(foreign), kExitLockRefused);
  EXPECT_TRUE(QString::fromLocal8Bit(foreign->readAllStandardError())
                  .contains(folder + " cannot hold the updater's lock"));
  EXPECT_TRUE(QDir(folder).isEmpty());
  const QString log =
      QString::fromUtf8(apptest::readFile(dir("home") + "/state/norza-updater/updater.log"));
  EXPECT_EQ(log.count(folder + " cannot hold the updater's lock"), 2) << log.toStdString();
}

// QSettings and the log open their files blocking: a FIFO at either path
// would hang the updater for good (and, holding the guard, turn every later
// start away). Neither may; the settings then are the defaults, and the log
// says why.
TEST_F(UpdaterRun, AFifoAtTheSettingsOrTheLogDoesNotHangTheUpdater) {
  const QString settings = dir("home") + "/.config/ZK/Calvora.conf";
  const QString log = dir("home") + "/state/norza-updater/updater.log";
  ASSERT_TRUE(QDir().mkpath(QFileInfo(settings).absolutePath()));
  ASSERT_TRUE(QDir().mkpath(QFileInfo(log).absolutePath()));
  ASSERT_EQ(::mkfifo(QFile::encodeName(settings).constData(), 0600), 0);
  // Without arguments the folder comes from the settings; none is there, so
  // the updater ends by itself. One that hangs is left to the teardown.
  const auto endsByItself = [&] {
    QProcess* process = start({}, {{"NORZA_EXIT_ON_FAILURE", "1"}});
    return process->waitForFinished(30000) && process->exitCode() == 1;
  };
  EXPECT_TRUE(endsByItself());
  EXPECT_TRUE(QString::fromUtf8(apptest::readFile(log))
                  .contains("the settings file " + settings + " is not a regular file"));

  ASSERT_TRUE(QFile::remove(settings));
  QFile::remove(log);
  ASSERT_EQ(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
  EXPECT_TRUE(endsByItself());
  // The teardown's start, which releases the key of an updater it had to
  // kill, must not meet the FIFO.
  QFile::remove(log);
}
#endif

}  // namespace
