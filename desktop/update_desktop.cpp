#include "update_desktop.h"

namespace norza::desktop {

UpdateDesktop::UpdateDesktop(Options options)
    : options_(std::move(options)),
      inhibitor_(createSleepInhibitor()),
      progress_(createProgressShown(options_.desktopId, options_.window)) {}

UpdateDesktop::~UpdateDesktop() { ended(); }

void UpdateDesktop::running() {
  if (running_) return;
  running_ = true;
  QString problem;
  if (!inhibitor_->hold(options_.who, options_.why, &problem))
    note_ = QStringLiteral("the computer may sleep during the update: ") + problem;
  progress_->show(0.0);
}

void UpdateDesktop::progress(double fraction) {
  if (running_) progress_->show(fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
}

void UpdateDesktop::attemptFailed() {
  if (running_) progress_->failed();
}

void UpdateDesktop::ended() {
  if (!running_) return;
  running_ = false;
  inhibitor_->release();
  progress_->clear();
}

bool UpdateDesktop::holding() const { return inhibitor_->held(); }

}  // namespace norza::desktop
