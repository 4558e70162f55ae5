// norza-station: the class station. Every calculator plugged in is written
// as soon as it is found, each with its own attempts, round after round
// until the window is closed; the history keeps one line per round.
#include <QApplication>
#include <QDateTime>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "appshell.h"
#include "emulator_backend.h"
#include "history.h"
#include "station_window.h"
#include "textlookup.h"
#include "updatelog.h"

namespace {

// The station's exit codes.
constexpr int kStationDone = 0;
constexpr int kStationUsage = 2;
constexpr int kStationBusy = 5;  // another updater of this user holds the calculators

std::atomic<bool> g_stopAsked{false};
extern "C" void OnStopSignal(int) { g_stopAsked.store(true); }

unsigned g_language = 1;
unsigned StationLanguage() { return g_language; }

void Print(std::FILE* stream, const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stream);
}

const char kUsage[] =
    "usage: norza-station [FOLDER]\n"
    "       norza-station --history [YYYY-MM-DD]\n"
    "       norza-station --help | --version\n"
    "Writes the update files in FOLDER (default: the work folder's Firmware\n"
    "folder) to every calculator in update mode that is plugged in, round\n"
    "after round, and records each round in the history.\n";

// --history [DAY]: that day's lines (UTC; today by default).
int PrintHistory(const QStringList& arguments) {
  QDate day = QDateTime::currentDateTimeUtc().date();
  if (arguments.size() > 3) return Print(stderr, QLatin1String(kUsage)), kStationUsage;
  if (arguments.size() == 3) {
    day = QDate::fromString(arguments[2], Qt::ISODate);
    if (!day.isValid() || arguments[2].size() != 10) {
      Print(stderr,
            QStringLiteral("norza-station: '%1' is no day (YYYY-MM-DD)\n").arg(arguments[2]));
      return kStationUsage;
    }
  }
  const QString path = norza::station::StationHistory::defaultPath();
  bool found = false;
  const QStringList lines = norza::station::StationHistory::linesOfDay(path, day, &found);
  if (!found) {
    Print(stderr, QStringLiteral("norza-station: no history yet at %1\n").arg(path));
    return kStationDone;
  }
  Print(stdout, norza::station::StationHistory::header() + QLatin1Char('\n'));
  for (const QString& line : lines) Print(stdout, line + QLatin1Char('\n'));
  return kStationDone;
}

}  // namespace

int main(int argc, char* argv[]) {
  norza::emu::UseEmulatedCalculatorsIfConfigured();
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const QString first = arguments.value(1);
  if (first == QLatin1String("--help") || first == QLatin1String("-h"))
    return Print(stdout, QLatin1String(kUsage)), kStationDone;
  if (first == QLatin1String("--version"))
    return Print(stdout, QStringLiteral("norza-station %1\n").arg(updaterVersion())), kStationDone;
  if (first == QLatin1String("--history")) return PrintHistory(arguments);
  if (arguments.size() > 2 || (first.startsWith(QLatin1Char('-')) && first != QLatin1String("-")))
    return Print(stderr, QLatin1String(kUsage)), kStationUsage;

  // The window's and the command's guard: one of them writes calculators.
  SingleInstanceGuard guard(QStringLiteral("CALVUD"), QLatin1String(kHolderStation));
  const GuardOutcome outcome = guard.claim();
  if (!guard.note().isEmpty()) {
    Print(stderr, QStringLiteral("norza-station: ") + guard.note() + QLatin1Char('\n'));
    UpdateLog::instance().write(QStringLiteral("norza-station: ") + guard.note());
  }
  if (outcome == GuardOutcome::AnotherRuns) return kStationBusy;
  if (outcome == GuardOutcome::Refused) return kExitLockRefused;

  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
  QApplication application(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("com.zk.NorzaStation"));
  QCoreApplication::setApplicationVersion(updaterVersion());
  installResourcePrefixes();

  const SuiteSettings settings = readSuiteSettings();
  if (!settings.problem.isEmpty()) UpdateLog::instance().write(settings.problem);
  g_language =
      isAcceptedLanguage(settings.language) ? static_cast<unsigned>(settings.language) : 1u;
  setCurrentLanguageSource(&StationLanguage);
  const QString folder = arguments.size() == 2 ? first
                                               : settings.workFolder + QLatin1Char('/') +
                                                     norza::station::StationText(657, "Firmware");

  norza::station::StationWindow window(folder);
  window.show();
  window.begin();

  // SIGINT and SIGTERM close the window as its Close button does.
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  QTimer stopWatch;
  QObject::connect(&stopWatch, &QTimer::timeout, &window, [&window] {
    if (g_stopAsked.exchange(false)) window.close();
  });
  stopWatch.start(100);
  return QApplication::exec();
}
