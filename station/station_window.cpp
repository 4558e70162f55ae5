#include "station_window.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include "image_set.h"
#include "platform.h"
#include "textlookup.h"
#include "update_desktop.h"
#include "updatelog.h"

namespace norza::station {

using session::Activity;

QString StationText(int id, const char* literal) {
  const QString text = textById(id, 0);
  return text.isEmpty() ? QString::fromUtf8(literal) : text;
}

namespace {

QString Utf8(const std::string& text) { return QString::fromStdString(text); }

QString NameOf(const Slot& slot) {
  return slot.identity.serial.empty() ? QString::fromStdWString(slot.identity.interfacePath)
                                      : Utf8(slot.identity.serial);
}

// A slot's state: the word, the icon and the colours (never colour alone).
struct Look {
  QString word;
  QStyle::StandardPixmap icon;
  const char* colour;
  const char* border;
};

Look LookOf(const Slot& slot, int images) {
  if (slot.gone) {
    return {
        StationText(7841, "Gone: image %1 of %2 missing").arg(slot.missingImage + 1).arg(images),
        QStyle::SP_MessageBoxWarning, "#fff1cc", "#b07800"};
  }
  switch (slot.activity) {
    case Activity::Writing: {
      QString word = StationText(7837, "Writing image %1 of %2").arg(slot.image + 1).arg(images);
      if (slot.attempts > 0) {
        word +=
            QStringLiteral(" (") +
            StationText(7831, "attempt %1 of %2").arg(slot.attempts + 1).arg(session::kAttempts) +
            QLatin1Char(')');
      }
      return {word, QStyle::SP_ArrowDown, "#dcebff", "#2a6ebb"};
    }
    case Activity::Complete:
      return {StationText(7838, "Complete"), QStyle::SP_DialogApplyButton, "#e2f5e2", "#3c8c3c"};
    case Activity::Finished:
      return {StationText(7839, "Done: you may unplug it"), QStyle::SP_DialogOkButton, "#c8ecc8",
              "#1f7a1f"};
    case Activity::Failed:
      return {StationText(7840, "Failed"), QStyle::SP_MessageBoxCritical, "#fbd9d9", "#b02a2a"};
    case Activity::Missing:  // shown only as gone, above
    case Activity::Waiting: break;
  }
  return {StationText(7836, "Waiting"), QStyle::SP_BrowserReload, "#eeeeee", "#808080"};
}

// The failure in the user's language: the link's explanation where there
// is one, else the session's words.
QString ReasonOf(const Slot& slot) {
  if (slot.why.textId != 0) {
    QString text = StationText(slot.why.textId, slot.why.english);
    const auto& arguments = slot.why.arguments;
    // One pass over the markers: an argument may itself contain "%2".
    if (arguments.size() == 1) text = text.arg(Utf8(arguments[0]));
    if (arguments.size() >= 2) text = text.arg(Utf8(arguments[0]), Utf8(arguments[1]));
    return text;
  }
  if (slot.gone && slot.code == LINK_CALCULATOR_MISSING)
    return StationText(7854, "Unplugged before it was updated.");
  return Utf8(slot.reason);
}

QString SizeText(int64_t bytes) { return QLocale().formattedDataSize(bytes); }

// A one-line label that shows what fits of its text and ends it with "…"
// where it does not: a long serial or sentence neither widens the window
// past the screen nor runs out of its slot.
class ElidingLabel : public QLabel {
 public:
  ElidingLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
    setTextFormat(Qt::PlainText);
  }
  QSize minimumSizeHint() const override {
    return {fontMetrics().averageCharWidth() * 4, QLabel::minimumSizeHint().height()};
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = contentsRect();
    style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                          fontMetrics().elidedText(text(), mode_, area.width()), foregroundRole());
  }

 private:
  const Qt::TextElideMode mode_;
};

}  // namespace

SlotView::SlotView(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("slot"));
  icon_ = new QLabel(this);
  serial_ = new ElidingLabel(Qt::ElideMiddle, this);
  QFont bold = serial_->font();
  bold.setBold(true);
  serial_->setFont(bold);
  port_ = new QLabel(this);
  state_ = new QLabel(this);
  state_->setWordWrap(true);  // "Writing image 1 of 3 (attempt 2 of 6)" takes two lines
  reason_ = new QLabel(this);
  reason_->setWordWrap(true);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  bar_->setTextVisible(true);
  for (QLabel* label : {serial_, port_, state_, reason_}) label->setTextFormat(Qt::PlainText);

  auto* top = new QHBoxLayout();
  top->addWidget(icon_);
  top->addWidget(serial_, 1);
  top->addWidget(port_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setSpacing(2);
  layout->addLayout(top);
  layout->addWidget(state_);
  layout->addWidget(reason_, 1);
  layout->addWidget(bar_);
  display(nullptr, 0);
}

void SlotView::paint(const char* colour, const char* border) {
  setStyleSheet(QStringLiteral("QFrame#slot { background: %1; border: 2px solid %2; "
                               "border-radius: 4px; } QFrame#slot:focus { border: 3px solid "
                               "#000000; } QFrame#slot QLabel { color: #000000; }")
                    .arg(QLatin1String(colour), QLatin1String(border)));
}

void SlotView::display(const Slot* slot, int images) {
  if (slot == nullptr) {
    path_.clear();
    icon_->clear();
    shownIcon_ = QStyle::SP_CustomBase;
    serial_->setText(StationText(7843, "No calculator"));
    serial_->setToolTip(QString());
    port_->clear();
    state_->clear();
    reason_->clear();
    bar_->setVisible(false);
    setFocusPolicy(Qt::NoFocus);
    paint("#fafafa", "#d0d0d0");
    sentence_ = serial_->text();
    setAccessibleName(sentence_);
    return;
  }
  path_ = slot->identity.interfacePath;
  const Look look = LookOf(*slot, images);
  const int side = fontMetrics().height();
  // Drawn again only when the state's icon changes: boards come often.
  if (look.icon != shownIcon_) {
    icon_->setPixmap(style()->standardIcon(look.icon).pixmap(QSize(side, side)));
    shownIcon_ = look.icon;
  }
  serial_->setText(NameOf(*slot));
  serial_->setToolTip(serial_->text());  // the whole name where it is cut
  port_->setText(slot->identity.port.empty()
                     ? QString()
                     : StationText(7842, "Port %1").arg(Utf8(slot->identity.port)));
  state_->setText(look.word);
  const bool failed = slot->activity == Activity::Failed || slot->gone;
  reason_->setText(failed ? ReasonOf(*slot) : QString());
  reason_->setToolTip(reason_->text());
  bar_->setVisible(slot->activity == Activity::Writing);
  bar_->setValue(slot->percent);
  setFocusPolicy(Qt::TabFocus);
  paint(look.colour, look.border);
  sentence_ = slot->identity.port.empty()
                  ? StationText(7853, "Calculator %1: %2").arg(NameOf(*slot), look.word)
                  : StationText(7851, "Calculator %1, port %2: %3")
                        .arg(NameOf(*slot), Utf8(slot->identity.port), look.word);
  if (!reason_->text().isEmpty()) sentence_ += QStringLiteral(". ") + reason_->text();
  setAccessibleName(sentence_);
}

void SlotView::showProgress(int percent) {
  // The state line was set as the transfer began.
  bar_->setVisible(true);
  bar_->setValue(percent);
}

StationWindow::StationWindow(QString folder)
    : folder_(std::move(folder)), historyPath_(StationHistory::defaultPath()) {
  setWindowTitle(StationText(7829, "Norza Class Station") +
                 (CalculatorSource().empty()
                      ? QString()
                      : QStringLiteral(" – ") + StationText(7822, "emulated calculators")));
  buildWidgets();
  connect(this, &StationWindow::mailboxFilled, this, &StationWindow::drainMailbox,
          Qt::QueuedConnection);
}

StationWindow::~StationWindow() {
  // Joined here, before the widgets it reaches through queued calls go.
  engine_.reset();
}

void StationWindow::buildWidgets() {
  imagesLabel_ = new QLabel(this);
  imagesLabel_->setWordWrap(true);
  imagesLabel_->setTextFormat(Qt::PlainText);
  tallyLabel_ = new QLabel(this);
  QFont big = tallyLabel_->font();
  big.setPointSizeF(big.pointSizeF() * 1.2);
  big.setBold(true);
  tallyLabel_->setFont(big);
  noticeLabel_ = new QLabel(this);
  noticeLabel_->setWordWrap(true);
  noticeLabel_->setTextFormat(Qt::PlainText);
  announceLabel_ = new ElidingLabel(Qt::ElideRight, this);
  historyLabel_ = new QLabel(this);
  historyLabel_->setTextFormat(Qt::PlainText);
  historyLabel_->setMinimumWidth(1);  // a long path is cut, the window keeps its width
  historyLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  historyLabel_->setText(
      StationText(7844, "History: %1").arg(QDir::toNativeSeparators(historyPath_)));
  chooseButton_ = new QPushButton(StationText(744, "Browse for update files"), this);
  chooseButton_->setAccessibleDescription(
      StationText(7818, "Choose the folder with the update files"));
  chooseButton_->setVisible(false);
  historyButton_ = new QPushButton(StationText(7845, "Open history"), this);
  closeButton_ = new QPushButton(StationText(7846, "Close"), this);
  connect(chooseButton_, &QPushButton::clicked, this, &StationWindow::chooseFolder);
  connect(historyButton_, &QPushButton::clicked, this, &StationWindow::openHistory);
  connect(closeButton_, &QPushButton::clicked, this, &QWidget::close);

  auto* grid = new QGridLayout();
  grid->setSpacing(6);
  for (int i = 0; i < kSlots; ++i) {
    slots_[static_cast<std::size_t>(i)] = new SlotView(this);
    grid->addWidget(slots_[static_cast<std::size_t>(i)], i / 4, i % 4);
  }
  for (int column = 0; column < 4; ++column) grid->setColumnStretch(column, 1);
  shown_.assign(kSlots, QString());

  auto* bottom = new QHBoxLayout();
  bottom->addWidget(historyLabel_, 1);
  bottom->addWidget(historyButton_);
  bottom->addWidget(closeButton_);
  auto* head = new QHBoxLayout();
  head->addWidget(imagesLabel_, 1);
  head->addWidget(chooseButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->setSpacing(6);
  layout->addLayout(head);
  layout->addWidget(tallyLabel_);
  layout->addWidget(noticeLabel_);
  layout->addLayout(grid, 1);
  layout->addWidget(announceLabel_);
  layout->addLayout(bottom);
  imagesLabel_->setAccessibleName(StationText(7830, "Images: %1").arg(QString()));
  tallyLabel_->setAccessibleName(StationText(7847, "Tally since the station started"));
  showTally(Tally{});
  resize(1024, 600);
}

void StationWindow::begin() {
  engine_.reset();
  const session::ImageSet set =
      session::FindImageSet(session::ListFolder(platform::Utf8ToWide(folder_.toStdString())));
  UpdateLog::instance().write(
      QStringLiteral("norza-station started: folder %1%2")
          .arg(folder_, CalculatorSource().empty()
                            ? QString()
                            : QStringLiteral(", ") + Utf8(CalculatorSource())));
  if (!set.complete) {
    QString text = StationText(7848, "No complete set of update files in %1.")
                       .arg(QDir::toNativeSeparators(folder_));
    if (set.refusal.textId != 0) text += QLatin1Char(' ') + Utf8(FormatExplanation(set.refusal));
    imagesLabel_->setText(text);
    chooseButton_->setVisible(true);
    UpdateLog::instance().write(QStringLiteral("norza-station: ") + text);
    return;
  }
  chooseButton_->setVisible(false);
  images_ = set.Images();
  std::vector<ImageRecord> records;
  QStringList names;
  for (const session::Image& image : images_) {
    const QString path = QString::fromStdWString(image.path);
    records.push_back({Utf8(image.name), Sha256OfFile(path)});
    names << QStringLiteral("%1 (%2)").arg(Utf8(image.name), SizeText(image.facts.size));
  }
  imagesLabel_->setText(StationText(7830, "Images: %1").arg(names.join(QStringLiteral(", "))));
  imagesLabel_->setAccessibleName(imagesLabel_->text());
  history_ = std::make_unique<StationHistory>(historyPath_, std::move(records));
  engine_ = std::make_unique<StationEngine>(images_, *this);
  engine_->Start();
}

// The engine's and the writer threads' news go into the mailbox under its
// lock; a signal without arguments wakes the GUI thread, which empties it.
void StationWindow::post(const std::function<void(Mailbox&)>& put) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mailboxLock_);
    put(mailbox_);
    wake = !mailbox_.wakePending;
    mailbox_.wakePending = true;
  }
  if (wake) emit mailboxFilled();
}

void StationWindow::BoardChanged(const Board& board) {
  // Percents that came before the board are older than it.
  post([&](Mailbox& box) {
    box.board = board;
    box.percents.clear();
  });
}

void StationWindow::RoundEnded(const session::Round& round) {
  // The line is written here, on the engine's thread, as the round ends.
  if (history_) history_->append(round, QDateTime::currentDateTimeUtc());
  const QString port = round.identity.port.empty()
                           ? QString()
                           : QStringLiteral(" (port %1)").arg(Utf8(round.identity.port));
  const QString line =
      QStringLiteral("norza-station: %1%2: %3, %4 of %5 images, %6%7")
          .arg(Utf8(round.identity.serial), port, QLatin1String(session::RoundEndWord(round.end)))
          .arg(round.imagesHeld)
          .arg(images_.size())
          .arg(round.code)
          .arg(round.reason.empty() ? QString() : QStringLiteral(": ") + Utf8(round.reason));
  post([&](Mailbox& box) { box.logLines << line; });
}

void StationWindow::Progress(const std::wstring& interfacePath, int, int percent) {
  post([&](Mailbox& box) { box.percents[interfacePath] = percent; });
}

void StationWindow::Stopped() {
  post([](Mailbox& box) { box.stopped = true; });
}

void StationWindow::drainMailbox() {
  Mailbox box;
  {
    std::lock_guard<std::mutex> lock(mailboxLock_);
    box = std::move(mailbox_);
    mailbox_ = Mailbox{};
  }
  for (const QString& line : box.logLines) UpdateLog::instance().write(line);
  if (box.board) showBoard(*box.board);
  for (const auto& [path, percent] : box.percents) showProgress(path, percent);
  if (box.stopped) {
    stopped_ = true;
    if (desktop_) desktop_->ended();
    if (closing_) close();
  }
}

void StationWindow::showProgress(const std::wstring& path, int percent) {
  for (SlotView* slot : slots_) {
    if (!path.empty() && slot->path() == path) slot->showProgress(percent);
  }
}

void StationWindow::showBoard(const Board& board) {
  const int images = static_cast<int>(images_.size());
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    SlotView* view = slots_[i];
    view->display(i < board.calculators.size() ? &board.calculators[i] : nullptr, images);
    if (i < board.calculators.size() && view->sentence() != shown_[i]) {
      // A state change: screen readers hear the slot's new sentence.
      QAccessibleEvent changed(view, QAccessible::NameChanged);
      QAccessible::updateAccessibility(&changed);
      announce(view->sentence());
    }
    shown_[i] = view->sentence();
  }
  showTally(board.tally);
  QString notice;
  if (board.tooMany)
    notice = StationText(7801, "Connect at most 16 calculators at a time.");
  else if (board.stopping)
    notice = StationText(7849, "Closing after the image being written…");
  else if (board.calculators.empty())
    notice = StationText(
        7850, "Connect calculators in update mode: each is written as soon as it is found.");
  noticeLabel_->setText(notice);
  noteDesktop(board);
}

void StationWindow::showTally(const Tally& tally) {
  QStringList parts = {StationText(7832, "Updated: %1").arg(tally.updated),
                       StationText(7833, "Failed: %1").arg(tally.failed),
                       StationText(7834, "In progress: %1").arg(tally.inProgress)};
  if (tally.gone > 0) parts << StationText(7835, "Unplugged too soon: %1").arg(tally.gone);
  tallyLabel_->setText(parts.join(QStringLiteral("    ")));
  tallyLabel_->setAccessibleDescription(tallyLabel_->text());
}

void StationWindow::announce(const QString& text) {
  announceLabel_->setText(text);
  announceLabel_->setToolTip(text);  // the whole sentence where it is cut
  announceLabel_->setAccessibleName(text);
  QAccessibleEvent alert(announceLabel_, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void StationWindow::noteDesktop(const Board& board) {
  // Sleep is held off while any round runs; at the end of a batch, one who
  // walked away is told how it went.
  const Tally& tally = board.tally;
  if (tally.inProgress > 0 && !desktop_) {
    desktop::Options options;
    options.who = QStringLiteral("norza-station");
    options.why = StationText(
        7823, "Calculators are being updated: sleeping now would leave them half-written");
    options.desktopId = QStringLiteral("com.zk.NorzaStation");
    options.window = winId();
    desktop_ = std::make_unique<desktop::UpdateDesktop>(std::move(options));
    desktop_->running();
    if (!desktop_->note().isEmpty()) UpdateLog::instance().write(desktop_->note());
    batchStart_ = tally;
  }
  if (!desktop_) return;
  if (tally.inProgress > 0) {
    double held = 0;
    int running = 0;
    for (const Slot& slot : board.calculators) {
      if (slot.gone || slot.activity == Activity::Failed || slot.activity == Activity::Finished)
        continue;
      held += slot.imagesHeld;
      ++running;
    }
    if (running > 0) desktop_->progress(held / (running * static_cast<double>(images_.size())));
    return;
  }
  desktop_->ended();
  desktop_.reset();
  const int updated = tally.updated - batchStart_.updated;
  const int notUpdated = tally.failed + tally.gone - batchStart_.failed - batchStart_.gone;
  if (isActiveWindow() || stopped_) return;
  const QString summary = notUpdated == 0 ? StationText(7824, "Calculators updated")
                                          : StationText(7825, "Calculator update failed");
  QString body = StationText(7827, "Calculators updated: %1.").arg(updated);
  if (notUpdated > 0)
    body += QLatin1Char(' ') + StationText(7828, "Not updated: %1.").arg(notUpdated);
  desktop::notifyDesktop(windowTitle(), QStringLiteral("norza-station"), summary, body);
  QApplication::alert(this);
}

void StationWindow::chooseFolder() {
  const QString chosen = QFileDialog::getExistingDirectory(
      this, StationText(7818, "Choose the folder with the update files"), folder_);
  if (chosen.isEmpty()) return;
  folder_ = chosen;
  begin();
}

void StationWindow::openHistory() {
  if (!QFileInfo::exists(historyPath_)) {
    announce(StationText(7852, "No calculator has been recorded yet."));
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(historyPath_));
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (!engine_ || stopped_) {
    event->accept();
    return;
  }
  // The running image ends first: no calculator is left half-written by a
  // close, and no other is told the update is over.
  closing_ = true;
  engine_->Stop();
  noticeLabel_->setText(StationText(7849, "Closing after the image being written…"));
  closeButton_->setEnabled(false);
  event->ignore();
}

}  // namespace norza::station
