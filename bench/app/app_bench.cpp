// Start-up and idle cost of the updater, each measured in child processes:
//  - start-up to the first shown frame of the real dialog (the entry point's
//    order: guard, dialog, show, image set scan), side by side with a plain
//    QDialog holding the same widgets; the ratio is the figure of merit
//    (target <= 1.2);
//  - CPU use while the worker waits for a calculator with real pacing (target
//    under 1% of one core over 5 s), and the peak resident memory.
// Children run offscreen; the updater child sees an empty emulator folder,
// or the native disks with --native-disks.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "appshell.h"
#include "calcfwupdatemsdialog.h"
#include "pacing.h"

extern char** environ;

namespace {

std::string g_self;
std::string g_firmware;  // a complete legacy set, made once by the parent

int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double cpuSeconds(const rusage& usage) {
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Prints the monotonic time of the widget's first paint and ends the process.
class FirstFrame : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      std::printf("%lld\n", static_cast<long long>(monotonicNs()));
      std::fflush(stdout);
      QTimer::singleShot(0, [] { std::_Exit(0); });
    }
    return QObject::eventFilter(watched, event);
  }
};

int childUpdater(int argc, char** argv) {
  QApplication application(argc, argv);
  SingleInstanceGuard guard(QStringLiteral("CALVUD-bench-%1").arg(getpid()));
  if (!updaterGoesOn(guard.claim())) return 3;
  new CCalcFWUpdateMSDialog(QString::fromStdString(g_firmware), 1);
  FirstFrame first;
  currentDialog->installEventFilter(&first);
  QApplication::setActiveWindow(currentDialog.get());
  currentDialog->show();
  currentDialog->discoverImageSet();
  return QApplication::exec();
}

// The same widgets in a plain QDialog, built and shown the same way.
int childMinimal(int argc, char** argv) {
  QApplication application(argc, argv);
  auto* dialog = new QDialog();
  QIcon icon;
  icon.addFile(QStringLiteral(":/CalculatorIconX16.png"));
  icon.addFile(QStringLiteral(":/CalculatorIconX64.png"));
  auto* outer = new QVBoxLayout();
  auto* top = new QHBoxLayout();
  auto* column = new QVBoxLayout();
  auto* buttons = new QHBoxLayout();
  for (int i = 0; i < 4; ++i) column->addWidget(new QLabel(dialog));
  auto* iconLabel = new QLabel(dialog);
  iconLabel->setPixmap(icon.pixmap(QSize(64, 64)));
  top->addLayout(column);
  top->addStretch();
  top->addWidget(iconLabel);
  auto* progress = new QProgressBar(dialog);
  progress->setRange(0, 100);
  progress->setStyleSheet(QStringLiteral(
      "QProgressBar { border: 2px solid DarkGrey; border-radius: 4px; text-align: center; "
      "padding: 2px; } QProgressBar::chunk { background-color: #0096d6; width: 5px; }"));
  auto* browse = new QPushButton(QStringLiteral("Browse for update files"), dialog);
  browse->hide();
  buttons->addStretch();
  buttons->addWidget(browse);
  buttons->addWidget(new QPushButton(QStringLiteral("Cancel"), dialog));
  outer->addLayout(top);
  outer->addStretch();
  outer->addSpacing(10);
  outer->addWidget(progress);
  outer->addSpacing(10);
  outer->addLayout(buttons);
  dialog->setLayout(outer);
  dialog->setMinimumWidth(525);
  dialog->setWindowTitle(QStringLiteral("Firmware update"));
  dialog->setWindowIcon(icon);
  FirstFrame first;
  dialog->installEventFilter(&first);
  dialog->show();
  return QApplication::exec();
}

// Runs the real dialog waiting for a calculator for `seconds` of real
// pacing and prints the CPU seconds used meanwhile.
int childWaiting(int argc, char** argv, double seconds) {
  QApplication application(argc, argv);
  norza::SetPaceScale(1);
  new CCalcFWUpdateMSDialog(QString::fromStdString(g_firmware), 1);
  currentDialog->show();
  currentDialog->discoverImageSet();
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  QTimer::singleShot(static_cast<int>(seconds * 1000), [] { QCoreApplication::exit(0); });
  QApplication::exec();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  std::printf("%.6f\n", cpuSeconds(after) - cpuSeconds(before));
  std::fflush(stdout);
  currentDialog->shutdownWorker();
  std::_Exit(0);
}

struct ChildResult {
  std::string output;
  rusage usage{};
  int status = -1;
};

ChildResult runChild(const std::string& mode, const std::vector<std::string>& extraEnv) {
  int pipeFds[2];
  ChildResult result;
  if (pipe(pipeFds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& e : extraEnv) env.push_back(e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string modeArg = "--child=" + mode;
  std::string firmwareArg = "--firmware=" + g_firmware;
  char* argv[] = {g_self.data(), modeArg.data(), firmwareArg.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, g_self.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return result;
  }
  char buffer[256];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
    result.output.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  wait4(pid, &result.status, 0, &result.usage);
  return result;
}

std::vector<std::string> childEnvironment(const QTemporaryDir& emulatorDir, bool nativeDisks) {
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "NORZA_PACE_SCALE=1"};
  if (!nativeDisks) env.push_back("NORZA_EMULATOR_DIR=" + emulatorDir.path().toStdString());
  return env;
}

bool g_nativeDisks = false;

// Start-up to the first frame, the real dialog and the plain one alternating.
void BM_StartupToFirstFrame(benchmark::State& state) {
  QTemporaryDir emulatorDir;
  const auto env = childEnvironment(emulatorDir, g_nativeDisks);
  double updaterMs = 0, minimalMs = 0;
  int runs = 0;
  for (auto _ : state) {
    for (const char* mode : {"updater", "minimal"}) {
      const int64_t start = monotonicNs();
      const ChildResult child = runChild(mode, env);
      const double ms = (std::strtoll(child.output.c_str(), nullptr, 10) - start) / 1e6;
      if (child.output.empty() || ms <= 0) {
        state.SkipWithError("a child did not report its first frame");
        return;
      }
      (std::strcmp(mode, "updater") == 0 ? updaterMs : minimalMs) += ms;
    }
    ++runs;
  }
  state.counters["updater_ms"] = updaterMs / runs;
  state.counters["minimal_ms"] = minimalMs / runs;
  state.counters["ratio"] = updaterMs / minimalMs;
}
BENCHMARK(BM_StartupToFirstFrame)->Iterations(15)->Unit(benchmark::kMillisecond)->UseRealTime();

// CPU while waiting for a calculator (real pacing), and the peak memory.
void BM_WaitingForACalculator(benchmark::State& state) {
  QTemporaryDir emulatorDir;
  const double seconds = 5.0;
  double cpu = 0;
  long maxRssKb = 0;
  for (auto _ : state) {
    const ChildResult child = runChild("waiting", childEnvironment(emulatorDir, g_nativeDisks));
    if (child.output.empty()) {
      state.SkipWithError("the waiting child reported nothing");
      return;
    }
    cpu = std::strtod(child.output.c_str(), nullptr);
    maxRssKb = child.usage.ru_maxrss;
  }
  state.counters["cpu_percent_of_core"] = cpu / seconds * 100.0;
  state.counters["peak_rss_MiB"] = maxRssKb / 1024.0;
}
BENCHMARK(BM_WaitingForACalculator)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

std::string argumentValue(int argc, char** argv, const char* prefix) {
  const size_t length = std::strlen(prefix);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix, length) == 0) return argv[i] + length;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  g_self = argv[0];
  const std::string child = argumentValue(argc, argv, "--child=");
  if (!child.empty()) {
    g_firmware = argumentValue(argc, argv, "--firmware=");
    int qtArgc = 1;
    if (child == "updater") return childUpdater(qtArgc, argv);
    if (child == "minimal") return childMinimal(qtArgc, argv);
    if (child == "waiting") return childWaiting(qtArgc, argv, 5.0);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--native-disks") == 0) g_nativeDisks = true;
  }
  // A complete image set for the children's start-up scan.
  QTemporaryDir firmware;
  g_firmware = firmware.path().toStdString();
  for (const char* name : {"APPSDISK.DAT", "KORVAARM.ROM", "MASTER.DAT"}) {
    const std::string path = g_firmware + "/" + name;
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
      std::fputs("image", file);
      std::fclose(file);
    }
  }
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--native-disks") != 0) args.push_back(argv[i]);
  }
  int benchArgc = static_cast<int>(args.size());
  benchmark::Initialize(&benchArgc, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
