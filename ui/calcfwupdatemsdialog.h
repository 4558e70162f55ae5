// CCalcFWUpdateMSDialog: the updater's one window. Shows the state of the
// update, owns the update worker and its thread, moves from one firmware
// image to the next, and ends the update on the calculators.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "explain.h"
#include "link.h"
#include "update_desktop.h"
#include "update_session.h"
#include "updatehost.h"

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QThread;
class CUpdateWorker;

// One firmware image file of the work folder.
struct FWImageEntry {
  QString path;      // absolute path in the platform's native form
  QString fileName;  // as listed, in the letter case found on disk
  std::string tag;   // copy of the dialog's imageTag
  int64_t size = 0;
  int64_t targetOffset = 0;  // where the image goes on the calculator's disk
  // The file as the scan found it; the transfer sends it only while it is
  // still that file. examined is the link's code for the look (0: usable).
  ImageFileFacts facts;
  int32_t examined = 0;
};

class CCalcFWUpdateMSDialog : public QDialog, public UpdateHost {
  Q_OBJECT

 public:
  CCalcFWUpdateMSDialog(const QString& folder, int language);
  ~CCalcFWUpdateMSDialog() override;

  // The dialog's fixed pauses, scaled like every other (norza::PauseMs,
  // norza::PaceScale). The countdown is lowered in the worker's steps.
  static constexpr int kCountdownStartMs = 5250;  // when a calculator is found
  static constexpr int kExitDelayMs = 3000;       // after "Done", or a failure when unattended

  // Fields in declaration order. The two atomics are shared with the
  // worker's thread; everything else belongs to the GUI thread.
  std::atomic<int32_t> startCountdownMs{0};
  QIcon calculatorIcon;
  QIcon folderIcon;
  std::atomic<bool> transferActive{false};
  bool prefixedSet = false;
  uint32_t language = 0;
  QProgressBar* progressBar = nullptr;
  QPushButton* cancelButton = nullptr;
  QPushButton* browseButton = nullptr;
  QLabel* statusLabel = nullptr;
  QLabel* noteLabel = nullptr;
  QLabel* imageLabel = nullptr;
  QLabel* spareLabel = nullptr;
  std::string imageTag;
  int32_t currentImage = 0;
  QList<FWImageEntry> imageList;
  QThread* workerThread = nullptr;
  CUpdateWorker* worker = nullptr;
  QString workFolder;
  // GUI thread only. updateEnded: endUpdate ran, worker reports are stale
  // until a new folder resumes the update. finishArmed: the step in flight
  // is the finish. finishSent: the calculators have been told.
  bool updateEnded = false;
  bool finishArmed = false;
  bool finishSent = false;
  // The course of the update (GUI thread only): made by the scan, fed with
  // every step's report, asked what to send next and whether it is over.
  std::unique_ptr<norza::session::UpdateSession> session;
  // The report of the step handled last.
  LinkReport lastReport;
  // The desktop while calculators are updated (GUI thread only): sleep held
  // off from the countdown until the update has ended, the launcher's
  // progress, the notification at the end.
  std::unique_ptr<norza::desktop::UpdateDesktop> desktop;

  // Language and work folder.
  bool setLanguage(int index);
  void loadSettings();

  // Firmware image set of workFolder.
  void discoverImageSet();
  void detectPrefixedSet();
  static bool isPrefixedImageName(const QString& name);

  void prepareCurrentImage();
  // Arms the worker with the first image that a calculator of the update
  // lacks, or with the finishing step when every one holds every image.
  void armNextStep();
  // The lines under a failure: what happened and what to do, and where the
  // log is; empty when there is nothing to explain.
  QString failureNote(int result) const;
  // An explanation in the user's language, and the line saying where the log is.
  static QString explanationText(const LinkExplanation& explanation);
  static QString logPointer();
  void showNote(const QString& text);
  // Feeds the step's report (and the passes before it) to the session;
  // returns the update's code for the step.
  int32_t applyStepReport(int result, bool finishRan);
  // The result of a step, each calculator's outcome and the failure's detail.
  void logResult(int result, bool finishRan);
  // The update's last lines in the log: every calculator, what it holds and
  // how it ended.
  void logCalculators();
  // A calculator as people know it: its serial and, where known, its port.
  static QString calculatorName(const norza::session::Calculator& calculator);
  // Accessible names and descriptions of the widgets a screen reader reaches.
  void describeForScreenReaders(QLabel* iconLabel);
  void endUpdate(QString message);
  // Calculators are found or written: the desktop is told (once).
  void desktopRunning();
  // The update has ended: the desktop is told; a user not looking at the
  // window gets a notification and the window asks for attention.
  void desktopEnded(const QString& message);
  void abortUpdate();
  // With NORZA_EXIT_ON_FAILURE=1 a failed or empty update ends the process
  // with exit code 1 three seconds later instead of waiting for the user.
  void exitLaterIfUnattended();

  // Asks the worker to stop and waits for its thread to end; used when the
  // application quits, so no link call is cut in half. Idempotent.
  void shutdownWorker();
  // Runs shutdownWorker when the application's event loop ends, however it
  // ends (Done, abort, a close from the title bar).
  void shutdownWorkerOnQuit();

  // UpdateHost.
  bool lowerCountdown(int32_t step) override { return LowerCountdown(startCountdownMs, step); }
  void transferBegins() override { transferActive.store(true); }
  void emitUpdateProgress(int percent) override;
  void emitUpdateMessage(const wchar_t* text) override;

 signals:
  void updateMessage(wchar_t* pMsg);
  void updateProgress(int percent);
  void changeTitle(QString);

 private:
  // The constructor's steps, in the order it takes them.
  void loadIcons();
  void settleLanguageAndFolder(const QString& folder, int languageNumber);
  void startWorkerThread();
  void buildWidgets();
  void connectSignals();

 private slots:
  void onCancel();
  void onUpdaterRan(int);
  void onUpdateMessage(wchar_t* pMsg);
  void onUpdateProgress(int percent);
  void onFoundDevice();
  void onWaitingStart();
  void onDownloadActive();
  void onDownloadInactive();
  void onWaitingTicks(int ticks);
  void onExitUpdater();
  void onBrowseFolder();

 protected:
  void closeEvent(QCloseEvent* event) override;

 public:
  // Escape ends a dialog without a close event; it meets the same guard.
  void reject() override;
};

// Text by id, or the literal when the lookup is empty.
QString textOr(int id, const char* literal);
