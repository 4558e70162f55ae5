// The application shell: command line, the companion suite's settings, the
// language index, the search paths beside the executable and the
// single-instance guard.
#pragma once

#include <QSharedMemory>
#include <QString>
#include <QStringList>

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
};
// Sets the application's names process-wide and reads "Language" and
// "WorkFolder" (never writes).
SuiteSettings readSuiteSettings();

// Platform part of the guard (one file per platform): whether another
// updater of this user is alive, told by something the system drops when
// that process ends, however it ends.
class InstanceLock {
 public:
  explicit InstanceLock(const QString& perUserKey);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // False while another live updater holds it (or it cannot be taken);
  // otherwise this process holds it until the lock is destroyed.
  bool acquire();
  // Whether, with the lock held, a key that exists can only be one a killed
  // updater left behind.
  static bool existingKeyIsStale();

 private:
  qintptr handle_ = -1;
};

// One updater per user session: a 1-byte shared-memory segment under a fixed
// key (the companion suite looks for it), held for the guard's lifetime. A
// key left behind by an updater that was killed is cleared.
class SingleInstanceGuard {
 public:
  explicit SingleInstanceGuard(const QString& key = QStringLiteral("CALVUD"));
  // True when this process now holds the key.
  bool claim();

 private:
  InstanceLock lock_;  // taken before the key, released after it
  QSharedMemory memory_;
};

// The key as this user's own: on Linux the key's file lives in a temp folder
// all users share, so another user's updater (running, or killed and left
// behind) must not hold this user's key. Windows' named mappings are per
// session already.
QString perUserInstanceKey(const QString& key);
