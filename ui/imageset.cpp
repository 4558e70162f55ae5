// Firmware image set discovery in the work folder: the folder listed the
// way a Windows folder lists, the set's rules in the session's image_set.
#include <QDir>
#include <QFileInfo>
#include <QPushButton>

#include "calcfwupdatemsdialog.h"
#include "image_set.h"
#include "updatelog.h"

namespace {

// Files only (no folders, hidden or system entries), by name ignoring case:
// the order a Windows folder lists in, made explicit for every platform.
std::vector<norza::session::FolderFile> listWorkFolder(const QString& folder) {
  std::vector<norza::session::FolderFile> files;
  if (folder.isEmpty()) return files;
  const QDir dir(folder);
  if (!dir.exists()) return files;
  for (const QFileInfo& file :
       dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
    files.push_back({file.fileName().toStdWString(),
                     QDir::toNativeSeparators(file.absoluteFilePath()).toStdWString()});
  }
  return files;
}

}  // namespace

bool CCalcFWUpdateMSDialog::isPrefixedImageName(const QString& name) {
  return norza::session::IsPrefixedImageName(name.toStdWString());
}

void CCalcFWUpdateMSDialog::detectPrefixedSet() {
  const std::vector<norza::session::FolderFile> files = listWorkFolder(workFolder);
  prefixedSet = std::any_of(files.begin(), files.end(), [](const norza::session::FolderFile& f) {
    return norza::session::IsPrefixedImageName(f.name);
  });
}

void CCalcFWUpdateMSDialog::discoverImageSet() {
  browseButton->hide();
  detectPrefixedSet();
  const norza::session::ImageSet set = norza::session::FindImageSet(listWorkFolder(workFolder));
  for (const norza::session::ImageCandidate& candidate : set.accepted) {
    FWImageEntry entry;
    entry.fileName = QString::fromStdWString(candidate.name);
    entry.path = QString::fromStdWString(candidate.path);
    entry.facts = candidate.facts;
    entry.examined = candidate.examined;
    entry.size = candidate.facts.size;
    entry.targetOffset = candidate.offset;
    entry.tag = imageTag;
    imageList.append(entry);
  }
  const bool complete = set.complete && imageList.size() == 3;
  // Every calculator that takes part must end up holding these three.
  // Without a set the update is empty, and no calculator is told it is over.
  session = std::make_unique<norza::session::UpdateSession>(
      norza::session::Policy::AllTogether,
      complete ? set.Images() : std::vector<norza::session::Image>{});
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
  if (set.refusal.textId != 0) {
    const QString note = explanationText(set.refusal);
    showNote(note + QLatin1Char('\n') + logPointer());
    UpdateLog::instance().write(QStringLiteral("image set refused: ") + note);
  }
  browseButton->show();
  exitLaterIfUnattended();
}
