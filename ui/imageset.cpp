// Firmware image set discovery in the work folder.
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QSet>

#include "calcfwupdatemsdialog.h"
#include "explain.h"
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

// The most an image may hold without running into the next one on the disk:
// the operating system image ends where the master image begins, the master
// image where the application image begins. The application image is bound
// by the disk itself, which the transfer checks. (The command window at
// 87040 lies inside the operating system image's range by the disk's design.)
int64_t largestSizeAt(int64_t targetOffset) {
  if (targetOffset == 0) return 0x100000;
  if (targetOffset == 0x100000) return 0x400000;
  return -1;  // no bound here
}

// Three entries make a set only when they are three different kinds: on a
// file system that tells letter case apart, MASTER.DAT and master.dat are
// two files of one kind.
bool isCompleteSet(const QList<FWImageEntry>& entries) {
  if (entries.size() != 3) return false;
  QSet<QString> kinds;
  for (const FWImageEntry& entry : entries) kinds.insert(CCalcFWUpdateMSDialog::imageKind(entry));
  return kinds.size() == 3;
}

// Why a complete set cannot be written, as the note under the failure, or
// empty: an image that is empty or no regular file would end in "Done" with
// nothing written; one too large would overwrite the next.
LinkExplanation refusalOf(const QList<FWImageEntry>& entries) {
  for (const FWImageEntry& entry : entries) {
    const std::string name = entry.fileName.toStdString();
    if (entry.examined != LINK_OK) {
      return ExplainLinkFailure(entry.examined,
                                LinkFailure{LINK_FAILURE_OTHER, name, entry.examineText}, 0);
    }
    const int64_t largest = largestSizeAt(entry.targetOffset);
    if (largest >= 0 && entry.size > largest) return ExplainImageTooLarge(name, largest);
  }
  return {};
}

}  // namespace

QString CCalcFWUpdateMSDialog::asciiUpper(const QString& name) {
  // Only a-z: QString::toUpper would take "appſdisk.dat" (U+017F) for
  // APPSDISK.DAT, a file Windows would not take for it.
  QString upper = name;
  for (QChar& c : upper) {
    if (c >= QLatin1Char('a') && c <= QLatin1Char('z')) c = QChar(c.unicode() - 0x20);
  }
  return upper;
}

QString CCalcFWUpdateMSDialog::imageKind(const FWImageEntry& entry) {
  return asciiUpper(entry.fileName);
}

bool CCalcFWUpdateMSDialog::isPrefixedImageName(const QString& name) {
  const QString upper = asciiUpper(name);
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
    const QString upper = asciiUpper(file.fileName());
    const bool accepted = prefixedSet ? isPrefixedImageName(upper) : isLegacyImageName(upper);
    if (!accepted) continue;
    FWImageEntry entry;
    entry.fileName = file.fileName();
    entry.path = QDir::toNativeSeparators(file.absoluteFilePath());
    // What the transfer will send: measured on the open file, never waiting
    // for the writer of a FIFO.
    entry.examined =
        ExamineImageFile(entry.path.toStdWString().c_str(), &entry.facts, &entry.examineText);
    entry.size = entry.facts.size;
    entry.targetOffset = targetOffsetFor(upper);
    entry.tag = imageTag;
    imageList.append(entry);
  }
  const LinkExplanation refusal =
      isCompleteSet(imageList) ? refusalOf(imageList) : LinkExplanation{};
  const bool complete = isCompleteSet(imageList) && refusal.textId == 0;
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
  if (refusal.textId != 0) {
    const QString note = explanationText(refusal);
    showNote(note + QLatin1Char('\n') + logPointer());
    UpdateLog::instance().write(QStringLiteral("image set refused: ") + note);
  }
  browseButton->show();
  exitLaterIfUnattended();
}
