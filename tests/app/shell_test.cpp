// The application shell: command line, locale table, stored settings, and
// the single-instance guard across real processes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QProcess>
#include <QSettings>
#include <QUuid>

#include <csignal>

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

TEST(Language, LocaleNamesMapToTheLanguageIndex) {
  const std::pair<const char*, int> cases[] = {
      {"pt_BR", 7}, {"zh_TW", 2}, {"fr_CA", 3}, {"ru_RU", 1}, {"C", 1},   {"de_AT", 4},
      {"en_US", 1}, {"es_ES", 5}, {"nl_BE", 6}, {"ja_JP", 8}, {"de", 1},  {"", 1},
      {"De_de", 4}, {"zh_Hant_TW", 1}};
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

// Each probe is a real process claiming the key.
class Probe {
 public:
  explicit Probe(const QString& key) {
    process_.start(QStringLiteral(NORZA_GUARD_PROBE), {key});
  }
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
  void kill() {
    ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
    process_.waitForFinished(20000);
  }

 private:
  QProcess process_;
};

TEST(SingleInstance, SecondIsRefusedAndAKilledHolderDoesNotBlockTheNext) {
  const QString key = QStringLiteral("CALVUD-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
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

}  // namespace
