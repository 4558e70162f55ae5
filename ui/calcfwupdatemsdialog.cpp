#include "calcfwupdatemsdialog.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "appshell.h"
#include "link.h"
#include "messagecopies.h"
#include "pacing.h"
#include "explain.h"
#include "textlookup.h"
#include "updatelog.h"
#include "updateworker.h"

namespace {

// The text lookup reads the language of the one dialog (GUI thread).
unsigned dialogLanguage() {
  const CCalcFWUpdateMSDialog* dialog = currentDialog.get();
  return dialog != nullptr ? dialog->language : 1u;
}

// The final single shot is a fixed pause too, so it follows the pacing scale.
int scaledMs(int milliseconds) {
  const double scaled = milliseconds * norza::PaceScale();
  return scaled <= 0.0 ? 0 : static_cast<int>(scaled + 0.5);
}

}  // namespace

namespace {

// A step's report as the session takes it.
std::vector<norza::session::Outcome> outcomesOf(const LinkReport& report) {
  std::vector<norza::session::Outcome> outcomes;
  for (const CalculatorReport& calculator : report.calculators) {
    const LinkExplanation why = ExplainLinkFailure(calculator.code, calculator.failure, 0);
    outcomes.push_back({calculator.interfacePath, calculator.code, calculator.gone,
                        why.textId != 0 ? FormatExplanation(why) : std::string(), calculator.serial,
                        calculator.port, calculator.deviceNode});
  }
  return outcomes;
}

}  // namespace

QString textOr(int id, const char* literal) {
  const QString text = textById(id, 0);
  return text.isEmpty() ? QString::fromUtf8(literal) : text;
}

CCalcFWUpdateMSDialog::CCalcFWUpdateMSDialog(const QString& folder, int languageNumber)
    : QDialog(nullptr) {
  // In this order: the worker and the text lookup find the dialog through
  // currentDialog, the folder icon needs the search paths, the texts need the
  // language, and the worker's signals are connected once its thread runs.
  currentDialog.set(this, this);
  setCurrentLanguageSource(&dialogLanguage);
  installResourcePrefixes();
  transferActive.store(false);
  prefixedSet = false;
  startCountdownMs.store(0);
  loadIcons();

  settleLanguageAndFolder(folder, languageNumber);
  startWorkerThread();
  buildWidgets();
  connectSignals();
}

void CCalcFWUpdateMSDialog::loadIcons() {
  calculatorIcon.addFile(QStringLiteral(":/CalculatorIconX16.png"), QSize(), QIcon::Normal,
                         QIcon::Off);
  calculatorIcon.addFile(QStringLiteral(":/CalculatorIconX64.png"), QSize(), QIcon::Normal,
                         QIcon::Off);
  // From the "icons" folder beside the executable, not the embedded copies.
  folderIcon.addFile(QStringLiteral("icons") + QStringLiteral(":varFolder_16x16.png"), QSize(),
                     QIcon::Normal, QIcon::Off);
  folderIcon.addFile(QStringLiteral("icons") + QStringLiteral(":varFolder_32x32.png"), QSize(),
                     QIcon::Normal, QIcon::Off);
}

void CCalcFWUpdateMSDialog::settleLanguageAndFolder(const QString& folder, int languageNumber) {
  if (!folder.isEmpty()) {
    workFolder = folder;
    setLanguage(languageNumber);
  } else {
    loadSettings();
    workFolder += QLatin1Char('/') + textOr(657, "Firmware");
  }

  const std::string source = CalculatorSource();
  UpdateLog::instance().write(
      QStringLiteral("norza-updater %1 started: folder %2, language %3%4")
          .arg(QCoreApplication::applicationVersion(), workFolder)
          .arg(language)
          .arg(source.empty() ? QString() : QStringLiteral(", ") + QString::fromStdString(source)));
}

void CCalcFWUpdateMSDialog::startWorkerThread() {
  workerThread = new QThread();
  worker = new CUpdateWorker(this);
  worker->moveToThread(workerThread);
  connect(workerThread, SIGNAL(started()), worker, SLOT(process()));
  connect(worker, SIGNAL(finished()), workerThread, SLOT(quit()));
  connect(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
  connect(workerThread, SIGNAL(finished()), workerThread, SLOT(deleteLater()));
  workerThread->start(QThread::InheritPriority);
}

void CCalcFWUpdateMSDialog::buildWidgets() {
  statusLabel = new QLabel(this);
  noteLabel = new QLabel(this);
  // Empty in a normal run; a failure's explanation wraps within the window.
  noteLabel->setWordWrap(true);
  imageLabel = new QLabel(this);
  spareLabel = new QLabel(this);
  QLabel* iconLabel = new QLabel(this);
  iconLabel->setPixmap(calculatorIcon.pixmap(QSize(64, 64), QIcon::Normal, QIcon::Off));

  QVBoxLayout* outerLayout = new QVBoxLayout();
  QHBoxLayout* topRow = new QHBoxLayout();
  QVBoxLayout* textColumn = new QVBoxLayout();
  QHBoxLayout* buttonRow = new QHBoxLayout();

  cancelButton = new QPushButton(textOr(2, "Cancel"), this);
  browseButton = new QPushButton(this);
  browseButton->setIcon(folderIcon);
  browseButton->setText(textOr(744, "Browse for update files"));
  browseButton->hide();

  progressBar = new QProgressBar(this);
  progressBar->setRange(0, 100);

  // A window on emulated calculators says so: its "Done" writes no real one.
  const bool emulated = !CalculatorSource().empty();
  setWindowTitle(
      textOr(631, "Firmware update") +
      (emulated ? QStringLiteral(" \u2013 ") + textOr(7822, "emulated calculators") : QString()));
  setWindowIcon(calculatorIcon);

  textColumn->addWidget(statusLabel, 0);
  textColumn->addWidget(noteLabel, 0);
  textColumn->addWidget(imageLabel, 0);
  textColumn->addWidget(spareLabel, 0);
  topRow->addLayout(textColumn, 0);
  topRow->addStretch(0);
  topRow->addWidget(iconLabel, 0);
  outerLayout->addLayout(topRow, 0);
  outerLayout->addStretch(0);
  outerLayout->addSpacing(10);
  outerLayout->addWidget(progressBar, 0);
  outerLayout->addSpacing(10);
  buttonRow->addStretch(0);
  buttonRow->addWidget(browseButton, 0);
  buttonRow->addWidget(cancelButton, 0);
  outerLayout->addLayout(buttonRow, 0);
  progressBar->show();
  progressBar->setStyleSheet(QStringLiteral(
      "QProgressBar { border: 2px solid DarkGrey; border-radius: 4px; text-align: center; "
      "padding: 2px; } QProgressBar::chunk { background-color: #0096d6; width: 5px; }"));

  setLayout(outerLayout);
  setMinimumWidth(525);
  describeForScreenReaders(iconLabel);
}

void CCalcFWUpdateMSDialog::connectSignals() {
  connect(cancelButton, SIGNAL(clicked()), this, SLOT(onCancel()));
  connect(this, SIGNAL(updateProgress(int)), this, SLOT(onUpdateProgress(int)));
  connect(this, SIGNAL(updateMessage(wchar_t*)), this, SLOT(onUpdateMessage(wchar_t*)));
  connect(worker, SIGNAL(foundDevice()), this, SLOT(onFoundDevice()));
  connect(worker, SIGNAL(waitingStart()), this, SLOT(onWaitingStart()));
  connect(worker, SIGNAL(waitingTicks(int)), this, SLOT(onWaitingTicks(int)));
  connect(worker, SIGNAL(downloadActive()), this, SLOT(onDownloadActive()));
  connect(worker, SIGNAL(downloadInactive()), this, SLOT(onDownloadInactive()));
  connect(worker, SIGNAL(updaterRan(int)), this, SLOT(onUpdaterRan(int)));
  connect(browseButton, SIGNAL(clicked()), this, SLOT(onBrowseFolder()));
}

void CCalcFWUpdateMSDialog::describeForScreenReaders(QLabel* iconLabel) {
  // The labels keep their text as their accessible name, so a screen reader
  // announces every change of it (Qt reports a name change with each new
  // text only while no fixed name is set); the description says what it is.
  statusLabel->setAccessibleDescription(textOr(7812, "Status of the update"));
  noteLabel->setAccessibleDescription(textOr(7813, "What to do"));
  imageLabel->setAccessibleDescription(textOr(7814, "Image file being written"));
  progressBar->setAccessibleName(textOr(7815, "Progress"));
  iconLabel->setAccessibleName(textOr(7816, "Calculator in update mode"));
  cancelButton->setAccessibleDescription(
      textOr(7817, "Starts the update at once during the countdown, otherwise cancels it"));
  browseButton->setAccessibleDescription(textOr(7818, "Choose the folder with the update files"));
}

CCalcFWUpdateMSDialog::~CCalcFWUpdateMSDialog() {
  abortUpdate();
  // Only a dialog destroyed before the process ends (tests) gets here with a
  // live worker: stop it and release it with its thread.
  shutdownWorker();
  delete worker;
  delete workerThread;
  if (currentDialog.get() == this) currentDialog.set(nullptr, nullptr);
}

void CCalcFWUpdateMSDialog::shutdownWorker() {
  if (workerThread == nullptr) return;
  // The dialog releases the thread itself; a deferred delete would leave
  // workerThread dangling.
  disconnect(workerThread, SIGNAL(finished()), workerThread, SLOT(deleteLater()));
  worker->requestStop();
  workerThread->quit();
  workerThread->wait();
  worker->loopsEnded.load(std::memory_order_acquire);
}

void CCalcFWUpdateMSDialog::shutdownWorkerOnQuit() {
  connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
          &CCalcFWUpdateMSDialog::shutdownWorker);
}

bool CCalcFWUpdateMSDialog::setLanguage(int index) {
  if (isAcceptedLanguage(index)) {
    language = static_cast<uint32_t>(index);
    return true;
  }
  language = 1;
  return false;
}

void CCalcFWUpdateMSDialog::loadSettings() {
  const SuiteSettings settings = readSuiteSettings();
  if (!settings.problem.isEmpty()) UpdateLog::instance().write(settings.problem);
  setLanguage(settings.language);
  workFolder = settings.workFolder;
}

void CCalcFWUpdateMSDialog::emitUpdateProgress(int percent) { emit updateProgress(percent); }

void CCalcFWUpdateMSDialog::emitUpdateMessage(const wchar_t* text) {
  // The caller's text lives in the writer thread's storage; the queued call
  // carries a copy that onUpdateMessage releases.
  emit updateMessage(message_copies::make(text));
}

void CCalcFWUpdateMSDialog::closeEvent(QCloseEvent* event) {
  if (transferActive.load()) {
    event->ignore();
  } else {
    event->accept();
  }
}

void CCalcFWUpdateMSDialog::reject() {
  // Hiding the last window would quit with 0 in the middle of an update.
  if (transferActive.load()) return;
  QDialog::reject();
}

void CCalcFWUpdateMSDialog::onCancel() {
  int32_t countdown = startCountdownMs.load();
  if (countdown != 0) {
    // Shorten the countdown to one more step; a step the worker takes at the
    // same moment is not lost.
    while (countdown != 0) {
      if (startCountdownMs.compare_exchange_weak(countdown, CUpdateWorker::kCountdownStepMs))
        return;
    }
    return;  // it reached 0 just now: the transfer starts anyway
  }
  abortUpdate();
  close();
}

void CCalcFWUpdateMSDialog::onUpdaterRan(int result) {
  if (updateEnded) return;  // a report that crossed the end of the update
  const bool finishRan = finishArmed;
  finishArmed = false;
  const int32_t code = applyStepReport(result, finishRan);
  logResult(code, finishRan);
  worker->retryCount.store(session ? session->failures() : 0);
  if (session && session->end() == norza::session::End::Done) {
    // The calculators have been told: every one holds every image.
    finishSent = true;
    endUpdate(textOr(627, "Done"));
    QTimer::singleShot(scaledMs(kExitDelayMs), this, SLOT(onExitUpdater()));
    return;
  }
  const bool needsMore = finishRan && code == LINK_UPDATE_INCOMPLETE;
  if (code != 0 && !needsMore) {
    if (session && session->end() == norza::session::End::Running) {
      statusLabel->setText(
          QStringLiteral("Update failed (%1), Retry: %2").arg(code).arg(session->failures()));
      showNote(failureNote(code));
      UpdateLog::instance().write(QStringLiteral("retry %1 of 5").arg(session->failures()));
      if (desktop) desktop->attemptFailed();
      // The link may have seen no failure (one of the update was missing):
      // the worker pauses and looks for the calculators as after any.
      if (result == LINK_OK) worker->failedForTheUpdate();
      armNextStep();
    } else {
      const QString note = failureNote(code);
      endUpdate(QStringLiteral("Update failed (%1)").arg(code));
      showNote(note);
      UpdateLog::instance().write(QStringLiteral("update failed (%1): %2").arg(code).arg(note));
      exitLaterIfUnattended();
    }
    return;
  }
  if (code == 0) {
    statusLabel->setText(QStringLiteral("Update OK (%1)").arg(worker->lastResult.load()));
    noteLabel->setText(QString());
  }
  // The next image some calculator of the update lacks, or the finish.
  armNextStep();
  worker->state.store(CUpdateWorker::StateTransfer);
}

int32_t CCalcFWUpdateMSDialog::applyStepReport(int result, bool finishRan) {
  lastReport = LinkReport{};
  lastReport.result = result;
  for (CUpdateWorker::LinkEvent& event : worker->takeStepEvents()) {
    if (!event.step) {
      std::vector<norza::session::Identity> listed;
      for (const std::wstring& path : event.pass) listed.push_back({path, {}, {}, {}});
      if (session) session->NotePass(listed);
      continue;
    }
    lastReport = std::move(event.report);
  }
  if (!session) return result;
  const std::vector<norza::session::Outcome> outcomes = outcomesOf(lastReport);
  if (finishRan) return session->NoteFinish(result, outcomes);
  const int image = currentImage;
  return session->NoteTransfer(image, result, outcomes);
}

void CCalcFWUpdateMSDialog::armNextStep() {
  if (!session) return;
  const norza::session::Step step = session->Next();
  if (step.kind == norza::session::Step::Kind::Finish) {
    finishArmed = true;
    worker->armFinish(step.calculators);
    return;
  }
  if (step.kind != norza::session::Step::Kind::Transfer) return;
  currentImage = step.image;
  prepareCurrentImage();
}

void CCalcFWUpdateMSDialog::showNote(const QString& text) {
  noteLabel->setText(text);
  if (text.isEmpty()) return;
  // A wrapped label gets only the width its first words ask for: give the
  // note the text column's width, and the window the height it needs.
  noteLabel->setMinimumWidth(width() - 110);
  adjustSize();
}

QString CCalcFWUpdateMSDialog::explanationText(const LinkExplanation& explanation) {
  QString text = textOr(explanation.textId, explanation.english);
  const auto& arguments = explanation.arguments;
  // One pass over the markers: an argument may itself contain "%2".
  if (arguments.size() == 1) text = text.arg(QString::fromStdString(arguments[0]));
  if (arguments.size() >= 2) {
    text = text.arg(QString::fromStdString(arguments[0]), QString::fromStdString(arguments[1]));
  }
  return text;
}

QString CCalcFWUpdateMSDialog::logPointer() {
  return textOr(kLogPointerTextId, kLogPointerEnglish)
      .arg(QDir::toNativeSeparators(UpdateLog::instance().path()));
}

QString CCalcFWUpdateMSDialog::calculatorName(const norza::session::Calculator& calculator) {
  const norza::session::Identity& id = calculator.identity;
  QString name = QString::fromStdString(id.serial);
  if (name.isEmpty()) name = QString::fromStdWString(id.deviceNode);
  if (name.isEmpty()) name = QString::fromStdWString(id.interfacePath);
  if (!id.port.empty()) name += QStringLiteral(" (") + QString::fromStdString(id.port) + ')';
  return name;
}

QString CCalcFWUpdateMSDialog::failureNote(int result) const {
  // The failure of the first calculator that failed, named as people know it.
  LinkFailure failure = LastLinkFailure();
  for (const CalculatorReport& calculator : lastReport.calculators) {
    if (calculator.code == LINK_OK || calculator.failure.kind == LINK_FAILURE_NONE) continue;
    failure = calculator.failure;
    if (session == nullptr) break;
    const auto known = session->calculators().find(calculator.interfacePath);
    if (known != session->calculators().end())
      failure.subject = calculatorName(known->second).toStdString() + ", " + failure.subject;
    break;
  }
  const std::vector<const norza::session::Calculator*> left =
      session ? session->NotCompleted() : std::vector<const norza::session::Calculator*>{};
  LinkExplanation explanation =
      ExplainLinkFailure(result, failure, static_cast<int32_t>(left.size()));
  if (explanation.textId == 0) return QString();
  // "Calculators not updated: 2" names the two.
  if (explanation.textId == 7800 && !left.empty()) {
    QStringList names;
    for (const norza::session::Calculator* calculator : left) names << calculatorName(*calculator);
    explanation.arguments[0] += " (" + names.join(QStringLiteral(", ")).toStdString() + ")";
  }
  return explanationText(explanation) + QLatin1Char('\n') + logPointer();
}

void CCalcFWUpdateMSDialog::logResult(int result, bool finishRan) {
  UpdateLog& log = UpdateLog::instance();
  const QString step = finishRan ? QStringLiteral("finishing command")
                                 : QStringLiteral("transfer of ") + worker->imagePath.get();
  log.write(QStringLiteral("%1: result %2 (%3)")
                .arg(step)
                .arg(result)
                .arg(QString::fromUtf8(LinkResultMeaning(result))));
  for (const CalculatorReport& outcome : lastReport.calculators) {
    QString line = QStringLiteral("  calculator ") + QString::fromStdWString(outcome.interfacePath);
    if (!outcome.deviceNode.empty())
      line += QStringLiteral(" (") + QString::fromStdWString(outcome.deviceNode) + QLatin1Char(')');
    log.write(line + QStringLiteral(": ") + QString::number(outcome.code));
  }
  const std::string detail = LinkFailureDetail();
  if (result != 0 && !detail.empty())
    log.write(QStringLiteral("  ") + QString::fromStdString(detail));
}

void CCalcFWUpdateMSDialog::logCalculators() {
  if (!session) return;
  UpdateLog& log = UpdateLog::instance();
  const std::size_t images = session->images().size();
  for (const norza::session::Calculator* calculator : session->Ordered()) {
    const bool updated = calculator->finished;
    QString line =
        QStringLiteral("calculator %1: %2 of %3 images, %4")
            .arg(calculatorName(*calculator))
            .arg(calculator->ImagesHeld())
            .arg(images)
            .arg(QString::fromUtf8(updated ? "updated"
                                           : norza::session::ActivityWord(calculator->activity)));
    if (!updated && calculator->code != 0) {
      line += QStringLiteral(", %1").arg(calculator->code);
      if (!calculator->reason.empty())
        line += QStringLiteral(": ") + QString::fromStdString(calculator->reason);
    }
    log.write(line);
  }
}

void CCalcFWUpdateMSDialog::onUpdateMessage(wchar_t* pMsg) {
  imageLabel->setText(pMsg != nullptr ? QString::fromWCharArray(pMsg) : QString());
  message_copies::release(pMsg);
}

void CCalcFWUpdateMSDialog::onUpdateProgress(int percent) {
  progressBar->setValue(percent);
  if (desktop && !imageList.isEmpty())
    desktop->progress((currentImage + percent / 100.0) / static_cast<double>(imageList.size()));
}

void CCalcFWUpdateMSDialog::onFoundDevice() {
  if (updateEnded) return;
  startCountdownMs.store(kCountdownStartMs);
  desktopRunning();
}

void CCalcFWUpdateMSDialog::desktopRunning() {
  if (!desktop) {
    norza::desktop::Options options;
    options.who = QStringLiteral("norza-updater");
    options.why =
        textOr(7823, "Calculators are being updated: sleeping now would leave them half-written");
    options.desktopId = QStringLiteral("com.zk.NorzaUpdater");
    options.window = static_cast<quintptr>(winId());
    desktop = std::make_unique<norza::desktop::UpdateDesktop>(std::move(options));
  }
  const bool before = desktop->holding();
  desktop->running();
  if (!before && !desktop->note().isEmpty()) UpdateLog::instance().write(desktop->note());
}

void CCalcFWUpdateMSDialog::desktopEnded(const QString& message) {
  if (!desktop) return;  // no calculator was found: nothing to tell
  desktop->ended();
  desktop.reset();
  if (isActiveWindow()) return;
  const norza::session::End end = session ? session->end() : norza::session::End::Aborted;
  QString summary = end == norza::session::End::Done ? textOr(7824, "Calculators updated")
                    : end == norza::session::End::Failed
                        ? textOr(7825, "Calculator update failed")
                        : textOr(7826, "Calculator update stopped");
  int updated = 0;
  QStringList others;
  for (const norza::session::Calculator* calculator :
       session ? session->Ordered() : std::vector<const norza::session::Calculator*>{}) {
    if (calculator->finished) {
      ++updated;
    } else {
      others << calculatorName(*calculator);
    }
  }
  QString body = textOr(7827, "Calculators updated: %1.").arg(updated);
  if (!others.isEmpty())
    body +=
        QLatin1Char(' ') + textOr(7828, "Not updated: %1.").arg(others.join(QStringLiteral(", ")));
  body += QLatin1Char(' ') + message;
  norza::desktop::notifyDesktop(windowTitle(), QStringLiteral("norza-updater"), summary, body);
  QApplication::alert(this);
}

void CCalcFWUpdateMSDialog::onWaitingStart() {
  if (updateEnded) return;
  const int32_t countdown = startCountdownMs.load();
  if (countdown != 0) {
    statusLabel->setText(textOr(7774, "Waiting to start\u2026"));
    int32_t seconds = countdown / 1000;
    if (seconds < 0) seconds = 0;
    cancelButton->setText(textOr(20, "Start") + QStringLiteral(" - ") + QString::number(seconds));
  } else {
    statusLabel->setText(QString());
  }
}

void CCalcFWUpdateMSDialog::onDownloadActive() {
  if (updateEnded) return;
  bool expected = false;
  if (transferActive.compare_exchange_strong(expected, true)) statusLabel->setText(QString());
  cancelButton->setText(textOr(20, "Start"));
  cancelButton->setEnabled(false);
}

void CCalcFWUpdateMSDialog::onDownloadInactive() {
  if (updateEnded) return;
  // After a success with images left, onUpdaterRan has already told the worker
  // to send the next one; the worker may have begun it and set the flag.
  if (worker->state.load() == CUpdateWorker::StateTransfer) return;
  transferActive.store(false);
}

void CCalcFWUpdateMSDialog::onWaitingTicks(int ticks) {
  if (updateEnded) return;  // a tick emitted before the stop
  QString text = textOr(521, "Waiting for connection...");
  text.chop(1);
  if (ticks > 0) text += QString(ticks, QLatin1Char('.'));
  statusLabel->setText(text);
}

void CCalcFWUpdateMSDialog::onExitUpdater() { QCoreApplication::exit(0); }

void CCalcFWUpdateMSDialog::onBrowseFolder() {
  QFileDialog chooser(this, QString(), QString(), QString());
  chooser.setModal(true);
  chooser.setFileMode(QFileDialog::Directory);
  chooser.setOption(QFileDialog::ShowDirsOnly, true);
  // Qt's own chooser: the same on every platform, and drivable in tests.
  chooser.setOption(QFileDialog::DontUseNativeDialog, true);
  chooser.setDirectory(workFolder);
  if (chooser.exec() != QDialog::Accepted) return;
  const QStringList chosen = chooser.selectedFiles();
  if (chosen.isEmpty()) return;
  workFolder = chosen.first();
  // A rescan starts from an empty list, and a complete set resumes the
  // worker, which the failed scan had stopped.
  imageList.clear();
  discoverImageSet();
  if (!browseButton->isHidden()) return;
  statusLabel->setText(QString());
  progressBar->reset();
  progressBar->show();
  updateEnded = false;
  finishSent = false;
  worker->resume();
}

void CCalcFWUpdateMSDialog::prepareCurrentImage() {
  // A transfer report can only come before the first scan when the pacing
  // is scaled to nothing; there is no image to select then.
  if (currentImage < 0 || currentImage >= imageList.size()) return;
  const FWImageEntry& entry = imageList.at(currentImage);
  cancelButton->setVisible(true);
  imageLabel->setText(entry.path);
  worker->armTransfer(entry.path, entry.targetOffset, entry.facts);
}

void CCalcFWUpdateMSDialog::endUpdate(QString message) {
  UpdateLog::instance().write(QStringLiteral("end: ") + message);
  cancelButton->hide();
  progressBar->hide();
  statusLabel->setText(message);
  noteLabel->setText(QString());
  imageLabel->setText(QString());
  updateEnded = true;
  finishArmed = false;
  worker->requestStop();
  // The final text is on the screen before the GUI thread blocks below.
  if (isVisible()) repaint();
  if (!finishSent) {
    // Gives the worker's loop time to see the request; the link's own lock
    // keeps the finish from overlapping a pass the worker is still in. Only
    // a whole update is finished: a calculator that lacks an image stays in
    // update mode, so the user can try again.
    norza::PauseMs(CUpdateWorker::kFinishPauseMs);
    int32_t finished = LINK_UPDATE_INCOMPLETE;
    if (session && session->Whole()) {
      std::vector<std::wstring> everyone;
      for (const auto& [path, calculator] : session->calculators()) everyone.push_back(path);
      LinkReport report;
      finished = FinishCalculators(kCalculatorVendor, kCalculatorProduct, &everyone, true, &report);
      session->NoteFinish(finished, outcomesOf(report));
    }
    UpdateLog::instance().write(QStringLiteral("finishing command: result %1 (%2)")
                                    .arg(finished)
                                    .arg(QString::fromUtf8(LinkResultMeaning(finished))));
  }
  if (session && session->end() == norza::session::End::Running) session->Abort();
  logCalculators();
  desktopEnded(message);
  transferActive.store(false);
}

void CCalcFWUpdateMSDialog::exitLaterIfUnattended() {
  // Scripts and soak runs have no one to close the window after a failure.
  if (qEnvironmentVariableIntValue("NORZA_EXIT_ON_FAILURE") != 1) return;
  QTimer::singleShot(scaledMs(kExitDelayMs), this, [] { QCoreApplication::exit(1); });
}

void CCalcFWUpdateMSDialog::abortUpdate() { endUpdate(textOr(633, "Update aborted")); }
