#include "appshell.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

CommandLine parseCommandLine(const QStringList& arguments) {
  CommandLine line;
  if (arguments.size() == 3) {
    line.folder = arguments.at(1);
    // A second entry that is not a decimal number reads as 0.
    line.number = arguments.at(2).toInt(nullptr, 10);
  }
  return line;
}

EarlyAnswer earlyAnswer(const QStringList& arguments) {
  if (arguments.size() == 2) {
    const QString& only = arguments.at(1);
    if (only == QLatin1String("--help") || only == QLatin1String("-h")) return EarlyAnswer::Help;
    if (only == QLatin1String("--version")) return EarlyAnswer::Version;
    return EarlyAnswer::LanguageMissing;
  }
  return EarlyAnswer::None;
}

QString earlyAnswerText(EarlyAnswer answer, const QString& program) {
  const QString usage =
      QStringLiteral(
          "usage: %1 [FOLDER LANGUAGE]\n"
          "\n"
          "Writes the calculator's three firmware images from FOLDER to every\n"
          "calculator connected in update mode. LANGUAGE: 0 untagged, 1 English,\n"
          "2 Chinese, 3 French, 4 German, 5 Spanish, 6 Dutch, 7 Portuguese, 8 Japanese.\n"
          "Without arguments the folder and language come from the companion suite's\n"
          "settings (ZK/Calvora: WorkFolder, Language).\n"
          "\n"
          "  --help      this text\n"
          "  --version   the version\n")
          .arg(program);
  switch (answer) {
    case EarlyAnswer::Help: return usage;
    case EarlyAnswer::Version: return QStringLiteral("norza-updater %1\n").arg(updaterVersion());
    case EarlyAnswer::LanguageMissing:
      return QStringLiteral("%1: a folder needs its language too (0 to 8)\n").arg(program) + usage;
    case EarlyAnswer::None: break;
  }
  return QString();
}

QString updaterVersion() { return QStringLiteral(NORZA_VERSION); }

void installResourcePrefixes() {
  const QString base = QCoreApplication::applicationDirPath() + QLatin1Char('/');
  QDir::setSearchPaths(QStringLiteral("icons"), {base + QStringLiteral("icons")});
  QDir::setSearchPaths(QStringLiteral("resource"), {base + QStringLiteral("resource")});
}

int languageForLocaleName(const QString& localeName) {
  const QString upper = localeName.toUpper();
  const int cut = upper.lastIndexOf(QLatin1Char('_'));
  const QString code = cut < 0 ? QString() : upper.left(cut);
  static const char* const kCodes[] = {"EN", "ZH", "FR", "DE", "ES", "NL", "PT", "JA"};
  for (int i = 0; i < 8; ++i) {
    if (code == QLatin1String(kCodes[i])) return i + 1;
  }
  return 1;
}

int systemLanguage() { return languageForLocaleName(QLocale::system().name()); }

bool isAcceptedLanguage(int index) { return static_cast<unsigned>(index) <= 8u; }

QString documentsFolder() {
  const QStringList locations =
      QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
  if (!locations.isEmpty() && !locations.first().isEmpty()) return locations.first();
  return QDir::homePath();
}

SuiteSettings readSuiteSettings() {
  QCoreApplication::setOrganizationName(QLatin1String(kSettingsOrganization));
  QCoreApplication::setOrganizationDomain(QLatin1String(kSettingsDomain));
  QCoreApplication::setApplicationName(QLatin1String(kSettingsApplication));
  SuiteSettings result;
  result.language = systemLanguage();
  result.workFolder = documentsFolder() + QStringLiteral("/Calvora");
  // QSettings reads its files as soon as it exists: checked first.
  result.problem = settingsFileProblem();
  if (result.problem.isEmpty()) {
    QSettings settings;
    // The file is UTF-8 (a hand-edited folder name with accents or CJK must
    // be found); Qt 5 reads it as Latin-1 unless told. No effect on the
    // registry.
    settings.setIniCodec("UTF-8");
    result.language = settings.value(QStringLiteral("Language"), result.language).toInt();
    result.workFolder = settings.value(QStringLiteral("WorkFolder"), result.workFolder).toString();
  }
  result.workFolder.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return result;
}

SingleInstanceGuard::SingleInstanceGuard(const QString& key, const QString& holder)
    : key_(perUserInstanceKey(key)), holder_(holder), lock_(key_) {}

std::unique_ptr<QSharedMemory> SingleInstanceGuard::newMemory() const {
  auto memory = std::make_unique<QSharedMemory>();
  if (InstanceLock::lockDecides()) {
    // The same segment without Qt's semaphore, which serializes the users
    // of a key: the lock keeps this user's updaters apart already, and a
    // semaphore someone else holds would block create() for good.
    memory->setNativeKey(QSharedMemory(key_).nativeKey());
  } else {
    memory->setKey(key_);
  }
  return memory;
}

namespace {
// The byte of the key's segment: which program holds it (0: not told).
const char* const kHolders[] = {kHolderUpdater, kHolderCommand, kHolderStation};

char holderByte(const QString& holder) {
  for (std::size_t i = 0; i < sizeof kHolders / sizeof kHolders[0]; ++i) {
    if (holder == QLatin1String(kHolders[i])) return static_cast<char>(i + 1);
  }
  return 0;
}
}  // namespace

QString SingleInstanceGuard::anotherRuns(const QString& holder) const {
  return QStringLiteral("another updater of this user is running%1; it holds the calculators")
      .arg(holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder));
}

void SingleInstanceGuard::recordHolder() {
  lock_.recordHolder(holder_);
  // The creator's one byte: nobody reads it before the segment exists.
  if (memory_ && memory_->data() != nullptr)
    *static_cast<char*>(memory_->data()) = holderByte(holder_);
}

QString SingleInstanceGuard::holderOfKey() const {
  if (!lock_.holder().isEmpty()) return lock_.holder();
  if (InstanceLock::lockDecides()) return QString();
  // Where the key is the lock, its byte names the holder.
  const std::unique_ptr<QSharedMemory> memory = newMemory();
  if (!memory->attach(QSharedMemory::ReadOnly)) return QString();
  const unsigned char byte = *static_cast<const unsigned char*>(memory->constData());
  memory->detach();
  const std::size_t count = sizeof kHolders / sizeof kHolders[0];
  return byte >= 1 && byte <= count ? QLatin1String(kHolders[byte - 1]) : QString();
}

GuardOutcome SingleInstanceGuard::claim() {
  switch (lock_.acquire()) {
    case InstanceLock::State::Busy:
      note_ = anotherRuns(holderOfKey());
      return GuardOutcome::AnotherRuns;
    case InstanceLock::State::Refused: note_ = lock_.problem(); return GuardOutcome::Refused;
    case InstanceLock::State::Held: break;
  }
  QSharedMemory::SharedMemoryError error = QSharedMemory::NoError;
  QString errorText;
  if (createKey(&error, &errorText)) {
    recordHolder();
    return GuardOutcome::Held;
  }
  const QString failed =
      QStringLiteral("the single-instance key %1 cannot be made (%2); ").arg(key_, errorText);
  if (!InstanceLock::lockDecides()) {
    // The key is the lock: one that exists has a live owner.
    note_ = error == QSharedMemory::AlreadyExists
                ? anotherRuns(holderOfKey())
                : failed + QStringLiteral("another updater may hold it");
    return GuardOutcome::AnotherRuns;
  }
  // With the lock held no updater of this user lives, so whatever holds the
  // key (another user can plant it) must not stop the start.
  recordHolder();
  note_ = failed + QStringLiteral("going on, as no other updater of this user runs");
  return GuardOutcome::HeldWithoutKey;
}

// A new object for each step: once it has created a segment, or failed to,
// a QSharedMemory with a native key fails every later call.
bool SingleInstanceGuard::createKey(QSharedMemory::SharedMemoryError* error, QString* errorText) {
  const auto failed = [&](const QSharedMemory& memory) {
    *error = memory.error();
    *errorText = memory.errorString();
    return false;
  };
  memory_ = newMemory();
  if (memory_->create(1, QSharedMemory::ReadWrite)) return true;
  if (memory_->error() != QSharedMemory::AlreadyExists || !InstanceLock::lockDecides())
    return failed(*memory_);
  // No live updater holds the key: one that was killed left it behind, and
  // detaching as its last user releases it.
  const std::unique_ptr<QSharedMemory> stale = newMemory();
  if (!stale->attach(QSharedMemory::ReadWrite)) return failed(*stale);
  stale->detach();
  memory_ = newMemory();
  return memory_->create(1, QSharedMemory::ReadWrite) || failed(*memory_);
}
