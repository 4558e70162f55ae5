// The application shell: command line, the companion suite's settings, the
// language index, the search paths beside the executable and the
// single-instance guard.
#pragma once

#include <QSharedMemory>
#include <QString>
#include <QStringList>

#include <memory>

// The two optional arguments; taken only when the list holds exactly three
// entries (program, folder, number).
struct CommandLine {
  QString folder;
  int number = 1;
};
CommandLine parseCommandLine(const QStringList& arguments);

// Answered before any window opens (and without a display): --help and
// --version, and a folder given without its language, which would otherwise
// be ignored without a word. Anything else goes to parseCommandLine.
enum class EarlyAnswer { None, Help, Version, LanguageMissing };
EarlyAnswer earlyAnswer(const QStringList& arguments);
// The text for it (usage, version, or the error), ending in a newline.
QString earlyAnswerText(EarlyAnswer answer, const QString& program);

// The updater's version, from the build.
QString updaterVersion();

// Registers the "icons" and "resource" prefixes beside the executable.
void installResourcePrefixes();

// The language index (1 to 8) for a locale name such as de_AT; 1 when its
// language part is not one of ours or it has no territory part.
int languageForLocaleName(const QString& localeName);
// The same for the system locale.
int systemLanguage();

// True for 0 to 8 (compared as unsigned, so negative values are outside).
bool isAcceptedLanguage(int index);

// The organization, its domain and the application, as the companion suite
// stores its settings under them.
inline constexpr const char* kSettingsOrganization = "ZK";
inline constexpr const char* kSettingsDomain = "zk.invalid";
inline constexpr const char* kSettingsApplication = "Calvora";

// The first documents location, or the home folder where there is none.
QString documentsFolder();

struct SuiteSettings {
  int language = 1;    // raw value; the caller applies the language rule
  QString workFolder;  // with every "\" turned into "/"
  QString problem;     // why the defaults were used instead of the file, for the log
};
// Sets the application's names process-wide and reads "Language" and
// "WorkFolder" (never writes).
SuiteSettings readSuiteSettings();

// Platform part of the settings: why this user's settings files cannot be
// read safely (a FIFO there would block the read for good), or empty. Always
// empty on Windows, where the settings are in the registry.
QString settingsFileProblem();

// Platform part of the guard (one file per platform): whether another
// updater of this user is alive, told by something the system drops when
// that process ends, however it ends.
class InstanceLock {
 public:
  explicit InstanceLock(const QString& perUserKey);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum class State {
    Held,     // this process holds it until the lock is destroyed
    Busy,     // another live updater of this user holds it
    Refused,  // it cannot be taken safely: problem() says why and what to do
  };
  State acquire();
  QString problem() const { return problem_; }
  // Held: writes who holds it, for a later start to name. Busy: who holds
  // it, as its holder wrote it (empty where the platform keeps no name).
  void recordHolder(const QString& holder);
  QString holder() const { return holder_; }
  // Whether holding the lock alone proves that no updater of this user
  // lives (Unix: the flock), so the key cannot stop a start; false where
  // the key is the lock itself (Windows).
  static bool lockDecides();

 private:
  const QString key_;
  qintptr handle_ = -1;
  QString problem_;
  QString holder_;
};

// What a start found; the updater goes on for the first two.
enum class GuardOutcome {
  Held,            // the lock and the key
  HeldWithoutKey,  // the lock; the key could not be made (note() says why)
  AnotherRuns,     // another updater of this user runs: exit 0 at once
  Refused,         // the lock's folder is not safely this user's: exit kExitLockRefused
};
inline bool updaterGoesOn(GuardOutcome outcome) {
  return outcome == GuardOutcome::Held || outcome == GuardOutcome::HeldWithoutKey;
}
// The exit code of a start refused because the lock cannot be taken safely
// (0 is a live updater, 1 an unattended failure, 2 a usage error).
inline constexpr int kExitLockRefused = 3;

// The programs that write calculators, as a start that gives way names the
// one holding them.
inline constexpr const char* kHolderUpdater = "Norza Firmware Updater (norza-updater)";
inline constexpr const char* kHolderCommand = "norza-link update";
inline constexpr const char* kHolderStation = "Norza Class Station (norza-station)";

// One updater per user session: a 1-byte shared-memory segment under a fixed
// key (the companion suite looks for it), held for the guard's lifetime. A
// key left behind by an updater that was killed is cleared. The window, the
// command and the station take the same guard, so at most one of them
// writes calculators; the segment's byte tells which (Windows), as does the
// lock file (Unix).
class SingleInstanceGuard {
 public:
  explicit SingleInstanceGuard(const QString& key = QStringLiteral("CALVUD"),
                               const QString& holder = QLatin1String(kHolderUpdater));
  GuardOutcome claim();
  // One line for stderr and the log on anything but Held; empty for Held.
  QString note() const { return note_; }

 private:
  std::unique_ptr<QSharedMemory> newMemory() const;
  bool createKey(QSharedMemory::SharedMemoryError* error, QString* errorText);

  void recordHolder();
  QString holderOfKey() const;
  QString anotherRuns(const QString& holder) const;

  const QString key_;  // this user's
  const QString holder_;
  InstanceLock lock_;  // taken before the key, released after it
  std::unique_ptr<QSharedMemory> memory_;
  QString note_;
};

// The key as this user's own: on Linux the key's file lives in a temp folder
// all users share, so another user's updater (running, or killed and left
// behind) must not hold this user's key. Windows' named mappings are per
// session already.
QString perUserInstanceKey(const QString& key);
