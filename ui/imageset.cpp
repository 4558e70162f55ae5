// Firmware image set discovery in the work folder.
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QSet>

#include "calcfwupdatemsdialog.h"
#include "link.h"
#include "updatelog.h"

namespace {

// Files only (no folders, hidden or system entries), by name ignoring case:
// the order a Windows folder lists in, made explicit for every platform.
QFileInfoList listWorkFolder(const QString& folder) {
  if (folder.isEmpty()) return {};
  const QDir dir(folder);
  if (!dir.exists()) return {};
  return dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

bool isLegacyImageName(const QString& upperName) {
  return upperName == QLatin1String("APPSDISK.DAT") || upperName == QLatin1String("KORVAARM.ROM") ||
         upperName == QLatin1String("MASTER.DAT");
}

int64_t targetOffsetFor(const QString& upperName) {
  if (upperName == QLatin1String("APPSDISK.DAT") || upperName == QLatin1String("NORZA_APP.DAT"))
    return 0x500000;
  if (upperName == QLatin1String("MASTER.DAT") || upperName == QLatin1String("NORZA_MASTER.DAT"))
    return 0x100000;
  return 0;  // KORVAARM.ROM, NORZA_OS.ROM
}

// Three entries make a set only when they are three different kinds: on a
// file system that tells letter case apart, MASTER.DAT and master.dat are
// two files of one kind.
// An empty file is no image: a set with one would end in "Done" with nothing
// written.
bool isCompleteSet(const QList<FWImageEntry>& entries) {
  if (entries.size() != 3) return false;
  QSet<QString> kinds;
  for (const FWImageEntry& entry : entries) {
    if (entry.size <= 0) return false;
    kinds.insert(entry.fileName.toUpper());
  }
  return kinds.size() == 3;
}

}  // namespace

bool CCalcFWUpdateMSDialog::isPrefixedImageName(const QString& name) {
  const QString upper = name.toUpper();
  return upper == QLatin1String("NORZA_APP.DAT") || upper == QLatin1String("NORZA_OS.ROM") ||
         upper == QLatin1String("NORZA_MASTER.DAT");
}

void CCalcFWUpdateMSDialog::detectPrefixedSet() {
  prefixedSet = false;
  for (const QFileInfo& file : listWorkFolder(workFolder)) {
    if (isPrefixedImageName(file.fileName())) {
      prefixedSet = true;
      return;
    }
  }
}

void CCalcFWUpdateMSDialog::discoverImageSet() {
  browseButton->hide();
  detectPrefixedSet();
  for (const QFileInfo& file : listWorkFolder(workFolder)) {
    const QString upper = file.fileName().toUpper();
    const bool accepted = prefixedSet ? isPrefixedImageName(upper) : isLegacyImageName(upper);
    if (!accepted) continue;
    FWImageEntry entry;
    entry.fileName = file.fileName();
    entry.path = QDir::toNativeSeparators(file.absoluteFilePath());
    entry.size = file.size();
    entry.targetOffset = targetOffsetFor(upper);
    entry.tag = imageTag;
    imageList.append(entry);
  }
  const bool complete = isCompleteSet(imageList);
  // Every calculator that takes part must end up holding these three. Without
  // a set the update is empty, and no calculator is told it is over.
  int64_t offsets[3] = {};
  for (int i = 0; complete && i < 3; ++i) offsets[i] = imageList.at(i).targetOffset;
  BeginUpdateLedger(offsets, complete ? 3 : 0);
  QString found;
  for (const FWImageEntry& entry : imageList) {
    found += QStringLiteral(" %1 (%2 bytes at 0x%3)")
                 .arg(entry.path)
                 .arg(entry.size)
                 .arg(entry.targetOffset, 0, 16);
  }
  UpdateLog::instance().write(
      (complete ? QStringLiteral("image set in ") : QStringLiteral("no complete image set in ")) +
      workFolder + QLatin1Char(':') + found);
  if (complete) {
    currentImage = 0;
    prepareCurrentImage();
    return;
  }
  endUpdate(textOr(622, "No updates are available"));
  browseButton->show();
  exitLaterIfUnattended();
}
