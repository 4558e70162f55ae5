// What only Windows does to the updater, checked on the real Updater.exe
// (beside this program, or NORZA_UPDATER_EXE): the suite's settings from the
// registry, the single-instance key as a named mapping, a long firmware path
// with letters outside ASCII, and the icon and version record as Explorer
// reads them. The WindowsUpdater cases write emulated calculators, so they
// need an Updater.exe built with the test seams (the one beside this
// program); Explorer's view is of the file alone, so scripts/windows-check.sh
// points NORZA_UPDATER_EXE at the installed copy for it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <chrono>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "appshell.h"
#include "emulator.h"
#include "emulator_dir.h"
#include "textlookup.h"

namespace {

const wchar_t kSettingsKey[] = L"Software\\ZK\\Calvora";

QString updaterPath() {
  const QString given = qEnvironmentVariable("NORZA_UPDATER_EXE");
  return given.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/Updater.exe")
                         : given;
}

std::wstring wide(const QString& text) { return text.toStdWString(); }

// HKCU\Software\ZK\Calvora as the companion suite leaves it; removed again
// when the test ends, so no run sees another's values.
class SuiteKey {
 public:
  SuiteKey() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    created_ = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &key_, nullptr) == ERROR_SUCCESS;
  }
  ~SuiteKey() {
    if (created_) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
  }
  bool valid() const { return created_; }
  bool setDword(const wchar_t* name, DWORD value) {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
  }
  bool setString(const wchar_t* name, const QString& value) {
    const std::wstring text = wide(value);
    return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }

 private:
  HKEY key_ = nullptr;
  bool created_ = false;
};

// A folder path longer than MAX_PATH, with accents, CJK and spaces in it.
QString longFolder(const QString& base) {
  QString path = base;
  const QString part = QString::fromUtf8(
      "Calvora \xc3\x9c"
      "bungsordner f\xc3\xbcr das Aktualisieren "
      "\xe8\xae\xa1\xe7\xae\x97\xe5\x99\xa8\xe5\x9b\xba\xe4\xbb\xb6 "
      "mise \xc3\xa0 jour du micrologiciel");
  for (int i = 0; path.size() <= MAX_PATH + 20; ++i)
    path += QStringLiteral("/%1 %2").arg(part).arg(i);
  return path;
}

// The top-level window of a process once it is shown. Wine delivers no
// window events across processes, so this looks again whenever 50 ms pass
// without the process ending; it returns as soon as the window is there.
HWND shownWindowOf(DWORD pid, HANDLE process, std::chrono::milliseconds timeout) {
  struct Search {
    DWORD pid;
    HWND found;
  };
  auto find = [](DWORD id) {
    Search search{id, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          DWORD owner = 0;
          GetWindowThreadProcessId(hwnd, &owner);
          if (owner != s->pid || !IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER)) return TRUE;
          s->found = hwnd;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  };
  WaitForInputIdle(process, static_cast<DWORD>(timeout.count()));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  HWND window = find(pid);
  while (!window && std::chrono::steady_clock::now() < deadline) {
    if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) break;  // it ended
    window = find(pid);
  }
  return window;
}

QString windowTitle(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return QString::fromWCharArray(text);
}

// An icon's pixels as 32-bit BGRA rows, top down, and its size.
struct IconPixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> bgra;
};
IconPixels pixelsOf(HICON icon) {
  IconPixels out;
  ICONINFO info{};
  if (!icon || !GetIconInfo(icon, &info)) return out;
  BITMAP bitmap{};
  GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
  out.width = bitmap.bmWidth;
  out.height = bitmap.bmHeight;
  BITMAPINFO header{};
  header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  header.bmiHeader.biWidth = out.width;
  header.bmiHeader.biHeight = -out.height;
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = 32;
  header.bmiHeader.biCompression = BI_RGB;
  out.bgra.resize(static_cast<size_t>(out.width) * out.height);
  HDC dc = GetDC(nullptr);
  GetDIBits(dc, info.hbmColor, 0, out.height, out.bgra.data(), &header, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return out;
}

// A version string as Explorer's Details tab reads it (the first translation).
QString versionString(const std::vector<char>& block, const wchar_t* name) {
  struct Translation {
    WORD language;
    WORD codePage;
  }* translation = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &size) ||
      size < sizeof(Translation)) {
    return QStringLiteral("(no translation)");
  }
  wchar_t query[128];
  swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
           translation->codePage, name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&value), &size) || !value) {
    return QStringLiteral("(missing)");
  }
  return QString::fromWCharArray(value);
}

class WindowsUpdater : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    ASSERT_TRUE(QDir(root_.path()).mkpath(QStringLiteral("calcs")));
    ASSERT_TRUE(QFileInfo::exists(updaterPath())) << updaterPath().toStdString();
  }
  void TearDown() override { apptest::killAndDelete(processes_); }
  QString calcs() const { return root_.filePath(QStringLiteral("calcs")); }

  QProcess* start(const QStringList& arguments) {
    auto* process = new QProcess();
    processes_.push_back(process);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NORZA_PACE_SCALE"), QStringLiteral("0.01"));
    env.insert(QStringLiteral("NORZA_EMULATOR_DIR"), QDir::toNativeSeparators(calcs()));
    process->setProcessEnvironment(env);
    process->start(updaterPath(), arguments);
    return process;
  }
  // The updater's window, shown; nullptr if it never came.
  HWND windowOf(QProcess* process) {
    if (!process->waitForStarted(20000)) return nullptr;
    HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                static_cast<DWORD>(process->processId()));
    if (!handle) return nullptr;
    HWND window =
        shownWindowOf(static_cast<DWORD>(process->processId()), handle, std::chrono::seconds(30));
    CloseHandle(handle);
    return window;
  }
  static int exitCodeOf(QProcess* process, int milliseconds = 120000) {
    if (!process->waitForFinished(milliseconds)) return -1;
    return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -2;
  }

  void plug(const std::string& name) {
    norza::emu::PlugOptions options;
    options.size = 8 << 20;
    std::string error;
    ASSERT_TRUE(norza::emu::PlugDisk(calcs().toStdString(), name, options, &error)) << error;
  }
  // Every image on the calculator, and CMD_FINISH the last command it saw.
  void expectUpdated(const std::string& name) const {
    const QString base = calcs() + QLatin1Char('/') + QString::fromStdString(name);
    for (const apptest::ImageFile& file : files_) {
      EXPECT_EQ(apptest::readFile(base + QStringLiteral(".disk"), file.offset, file.bytes.size()),
                file.bytes)
          << name << " " << file.name.toStdString();
    }
    std::string last;
    for (const norza::emu::JournalEvent& event :
         apptest::readJournal(base + QStringLiteral(".journal"))) {
      if (event.event == "command") last = event.name;
    }
    EXPECT_EQ(last, "CMD_FINISH") << name;
  }

  QTemporaryDir root_;
  std::vector<apptest::ImageFile> files_;
  std::vector<QProcess*> processes_;
};

// The suite writes Language as a number or as text, WorkFolder as a Windows
// path; the shell reads both from HKCU\Software\ZK\Calvora.
TEST(Registry, SuiteSettingsComeFromTheUsersCalvoraKey) {
  SuiteKey key;
  ASSERT_TRUE(key.valid());
  const QString folder = QString::fromUtf8(
      "C:\\Users\\Ana\\Documents\\Calvora \xc3\x9c"
      "bung \xe5\x9b\xba\xe4\xbb\xb6");
  ASSERT_TRUE(key.setDword(L"Language", 4));
  ASSERT_TRUE(key.setString(L"WorkFolder", folder));
  SuiteSettings read = readSuiteSettings();
  EXPECT_EQ(read.language, 4);
  EXPECT_EQ(read.workFolder, QString(folder).replace(QLatin1Char('\\'), QLatin1Char('/')));

  ASSERT_TRUE(key.setString(L"Language", QStringLiteral("6")));
  EXPECT_EQ(readSuiteSettings().language, 6);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Language");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"WorkFolder");
  read = readSuiteSettings();
  EXPECT_EQ(read.language, systemLanguage());
  EXPECT_EQ(read.workFolder, documentsFolder() + QStringLiteral("/Calvora"));
}

// Started without arguments, the updater takes its language and folder from
// the registry; the folder is longer than MAX_PATH and not ASCII. The window
// shows the French title, which names the emulated calculators; once one is
// plugged in it gets every byte.
TEST_F(WindowsUpdater, RegistrySettingsAndALongNonAsciiFolder) {
  // The images sit in the work folder's subfolder named in the language.
  installResourcePrefixes();
  const QString title = textById(631, 3);
  const QString emulated = textById(7822, 3);
  const QString subfolder = textById(657, 3);
  ASSERT_FALSE(title.isEmpty());
  ASSERT_FALSE(emulated.isEmpty());
  ASSERT_FALSE(subfolder.isEmpty());
  EXPECT_NE(title, textById(631, 1));
  const QString work = longFolder(root_.path());
  const QString firmware = work + QLatin1Char('/') + subfolder;
  ASSERT_GT(QDir::toNativeSeparators(firmware).size(), MAX_PATH);
  ASSERT_TRUE(QDir().mkpath(firmware));
  files_ = apptest::writeImageSet(firmware, true, 21);
  for (const apptest::ImageFile& file : files_) {
    ASSERT_EQ(QFileInfo(firmware + QLatin1Char('/') + file.name).size(), file.bytes.size());
  }
  SuiteKey key;
  ASSERT_TRUE(key.valid());
  ASSERT_TRUE(key.setDword(L"Language", 3));
  ASSERT_TRUE(key.setString(L"WorkFolder", QDir::toNativeSeparators(work)));

  QProcess* updater = start({});
  HWND window = windowOf(updater);  // no calculator yet: it waits
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(windowTitle(window), title + QStringLiteral(" \u2013 ") + emulated);

  // The window's icon: wine answers WM_GETICON only inside the process, so
  // scripts/windows-check.sh compares the icon wine hands to X instead.

  plug("alpha");
  EXPECT_EQ(exitCodeOf(updater), 0);
  expectUpdated("alpha");
}

// The key is a named mapping: a second start gives way at once; a killed
// holder's mapping goes with its last handle, so the next start runs.
TEST_F(WindowsUpdater, SecondStartExitsAndAKilledOneDoesNotBlockTheNext) {
  const QString fw = root_.filePath(QStringLiteral("fw"));
  ASSERT_TRUE(QDir().mkpath(fw));
  files_ = apptest::writeImageSet(fw, false, 23);
  const QStringList arguments{QDir::toNativeSeparators(fw), QStringLiteral("1")};

  QProcess* first = start(arguments);
  ASSERT_NE(windowOf(first), nullptr);  // shown, so it holds the key
  QProcess* second = start(arguments);
  EXPECT_EQ(exitCodeOf(second, 30000), 0);
  EXPECT_EQ(first->state(), QProcess::Running);

  first->kill();  // TerminateProcess: no clean-up of its own
  ASSERT_TRUE(first->waitForFinished(20000));
  plug("alpha");
  QProcess* third = start(arguments);
  EXPECT_EQ(exitCodeOf(third), 0);
  expectUpdated("alpha");
}

// Explorer's Details tab and file icon: the version record through the
// version API, the icon group through the shell's icon extraction.
TEST(Explorer, VersionRecordAndIconOfUpdaterExe) {
  const std::wstring path = wide(QDir::toNativeSeparators(updaterPath()));
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 20u);
  EXPECT_EQ(fixed->dwFileVersionLS, (14181u << 16) | 11u);
  EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 2u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(versionString(block, L"FileDescription"), "Updater Utility");
  EXPECT_EQ(versionString(block, L"FileVersion"), "1.20.14181.11");
  EXPECT_EQ(versionString(block, L"InternalName"), "Updater");
  EXPECT_EQ(versionString(block, L"OriginalFilename"), "Updater.exe");
  EXPECT_EQ(versionString(block, L"ProductName"), "Calvora");
  EXPECT_EQ(versionString(block, L"ProductVersion"), "1.2.0.0");

  // One icon group; Explorer's sizes come from its 256, 64 and 16 px images.
  EXPECT_EQ(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), 1u);
  for (const int size : {16, 32, 48, 256}) {
    HICON icon = nullptr;
    UINT id = 0;
    ASSERT_EQ(PrivateExtractIconsW(path.c_str(), 0, size, size, &icon, &id, 1, 0), 1u) << size;
    const IconPixels pixels = pixelsOf(icon);
    DestroyIcon(icon);
    EXPECT_EQ(pixels.width, size);
    EXPECT_EQ(pixels.height, size);
    int opaque = 0;
    for (const uint32_t pixel : pixels.bgra) opaque += (pixel >> 24) != 0;
    EXPECT_GT(opaque, size * size / 4) << size << " px: the picture is missing";
  }
  // Icon group 101 and the manifest, where updater.rc puts them.
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14)),
            nullptr);  // RT_GROUP_ICON
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)),
            nullptr);  // RT_MANIFEST
  FreeLibrary(module);
}

}  // namespace
