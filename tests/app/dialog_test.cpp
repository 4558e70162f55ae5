// The dialog right after construction, its meta-object, language and work
// folder, the close guard, and every slot.
#include <QAccessible>
#include <QBoxLayout>
#include <QDir>
#include <QImageReader>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QThread>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include "app_test_util.h"
#include "appshell.h"
#include "dialog_fixture.h"
#include "link.h"
#include "messagecopies.h"
#include "textlookup.h"

namespace {

QStringList methodsOf(const QMetaObject& meta) {
  QStringList out;
  for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
    const QMetaMethod method = meta.method(i);
    const char* kind = method.methodType() == QMetaMethod::Signal ? "signal" : "slot";
    const char* access = method.access() == QMetaMethod::Public ? "public" : "private";
    out << QStringLiteral("%1 %2 %3 %4")
               .arg(QString::fromLatin1(method.methodSignature()), QLatin1String(kind),
                    QLatin1String(access), QString::fromLatin1(method.parameterNames().join(',')));
  }
  return out;
}

bool journalHas(const norza::emu::MemoryBackend& backend, const std::string& name,
                const std::string& command) {
  for (const auto& event : backend.Journal(name)) {
    if (event.event == "command" && event.name == command) return true;
  }
  return false;
}

TEST(DialogMetaObject, SignalsAndSlotsInDeclaredOrder) {
  const QMetaObject& dialog = CCalcFWUpdateMSDialog::staticMetaObject;
  EXPECT_STREQ(dialog.className(), "CCalcFWUpdateMSDialog");
  EXPECT_EQ(
      methodsOf(dialog),
      QStringList({"updateMessage(wchar_t*) signal public pMsg",
                   "updateProgress(int) signal public percent",
                   "changeTitle(QString) signal public ", "onCancel() slot private ",
                   "onUpdaterRan(int) slot private ", "onUpdateMessage(wchar_t*) slot private pMsg",
                   "onUpdateProgress(int) slot private percent", "onFoundDevice() slot private ",
                   "onWaitingStart() slot private ", "onDownloadActive() slot private ",
                   "onDownloadInactive() slot private ", "onWaitingTicks(int) slot private ticks",
                   "onExitUpdater() slot private ", "onBrowseFolder() slot private "}));
  const QMetaObject& worker = CUpdateWorker::staticMetaObject;
  EXPECT_STREQ(worker.className(), "CUpdateWorker");
  EXPECT_EQ(methodsOf(worker),
            QStringList({"finished() signal public ", "foundDevice() signal public ",
                         "waitingStart() signal public ", "downloadActive() signal public ",
                         "downloadInactive() signal public ", "waitingTicks(int) signal public ",
                         "updaterRan(int) signal public ", "process() slot public "}));
}

TEST_F(DialogTest, RightAfterConstruction) {
  CCalcFWUpdateMSDialog* d = make(path("fw"), 1, /*quiet=*/false);
  EXPECT_EQ(currentDialog.get(), d);
  EXPECT_TRUE(d->workerThread->isRunning());
  EXPECT_EQ(d->worker->thread(), d->workerThread);
  d->shutdownWorker();
  EXPECT_TRUE(d->browseButton->isHidden());
  EXPECT_FALSE(d->cancelButton->isHidden());
  EXPECT_TRUE(d->cancelButton->isEnabled());
  EXPECT_EQ(d->cancelButton->text(), QStringLiteral("Cancel"));
  EXPECT_EQ(d->browseButton->text(), QStringLiteral("Browse for update files"));
  EXPECT_FALSE(d->progressBar->isHidden());
  EXPECT_EQ(d->progressBar->value(), -1);
  EXPECT_EQ(d->progressBar->minimum(), 0);
  EXPECT_EQ(d->progressBar->maximum(), 100);
  EXPECT_EQ(d->progressBar->styleSheet(),
            QStringLiteral("QProgressBar { border: 2px solid DarkGrey; border-radius: 4px; "
                           "text-align: center; padding: 2px; } QProgressBar::chunk { "
                           "background-color: #0096d6; width: 5px; }"));
  for (QLabel* label : {d->statusLabel, d->noteLabel, d->imageLabel, d->spareLabel}) {
    EXPECT_TRUE(label->text().isEmpty());
  }
  EXPECT_EQ(d->minimumWidth(), 525);
  EXPECT_EQ(d->windowTitle(), QStringLiteral("Firmware update"));
  EXPECT_EQ(d->parent(), nullptr);
  EXPECT_EQ(d->startCountdownMs.load(), 0);
  EXPECT_FALSE(d->transferActive.load());
  EXPECT_FALSE(d->prefixedSet);
  EXPECT_TRUE(d->imageList.isEmpty());
  EXPECT_TRUE(d->imageTag.empty());
  EXPECT_EQ(d->workFolder, path("fw"));

  // The widget tree: top row, stretch, 10, progress bar, 10, button row.
  auto* outer = qobject_cast<QVBoxLayout*>(d->layout());
  ASSERT_NE(outer, nullptr);
  ASSERT_EQ(outer->count(), 6);
  auto* topRow = qobject_cast<QHBoxLayout*>(outer->itemAt(0)->layout());
  ASSERT_NE(topRow, nullptr);
  EXPECT_NE(outer->itemAt(1)->spacerItem(), nullptr);
  EXPECT_EQ(outer->itemAt(2)->spacerItem()->sizeHint().height(), 10);
  EXPECT_EQ(outer->itemAt(3)->widget(), d->progressBar);
  EXPECT_EQ(outer->itemAt(4)->spacerItem()->sizeHint().height(), 10);
  auto* buttonRow = qobject_cast<QHBoxLayout*>(outer->itemAt(5)->layout());
  ASSERT_NE(buttonRow, nullptr);
  ASSERT_EQ(buttonRow->count(), 3);
  EXPECT_NE(buttonRow->itemAt(0)->spacerItem(), nullptr);
  EXPECT_EQ(buttonRow->itemAt(1)->widget(), d->browseButton);
  EXPECT_EQ(buttonRow->itemAt(2)->widget(), d->cancelButton);
  ASSERT_EQ(topRow->count(), 3);
  auto* column = qobject_cast<QVBoxLayout*>(topRow->itemAt(0)->layout());
  ASSERT_NE(column, nullptr);
  ASSERT_EQ(column->count(), 4);
  EXPECT_EQ(column->itemAt(0)->widget(), d->statusLabel);
  EXPECT_EQ(column->itemAt(1)->widget(), d->noteLabel);
  EXPECT_EQ(column->itemAt(2)->widget(), d->imageLabel);
  EXPECT_EQ(column->itemAt(3)->widget(), d->spareLabel);
  EXPECT_NE(topRow->itemAt(1)->spacerItem(), nullptr);
  auto* iconLabel = qobject_cast<QLabel*>(topRow->itemAt(2)->widget());
  ASSERT_NE(iconLabel, nullptr);
  EXPECT_EQ(iconLabel->pixmap(Qt::ReturnByValue).size(), QSize(64, 64));
}

TEST_F(DialogTest, IconsComeFromTheEmbeddedTreeAndTheIconsFolder) {
  CCalcFWUpdateMSDialog* d = make(path("fw"));
  EXPECT_EQ(d->calculatorIcon.availableSizes(), (QList<QSize>{QSize(16, 16), QSize(64, 64)}));
  EXPECT_EQ(d->folderIcon.availableSizes(), (QList<QSize>{QSize(16, 16), QSize(32, 32)}));
  EXPECT_FALSE(d->windowIcon().isNull());
  EXPECT_TRUE(QFile::exists(QCoreApplication::applicationDirPath() + "/icons/varFolder_16x16.png"));
  QImageReader ico(QStringLiteral(":/Updater.ico"));
  QList<int> sizes;
  for (int i = 0; i < ico.imageCount(); ++i) {
    ASSERT_TRUE(ico.jumpToImage(i));
    sizes << ico.read().width();
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (QList<int>{16, 64, 256}));
  for (const char* name : {":/varFolder_16x16.png", ":/varFolder_32x32.png"}) {
    EXPECT_FALSE(QImage(QString::fromLatin1(name)).isNull()) << name;
  }
}

TEST_F(DialogTest, LanguageFromTheCommandLine) {
  // Stored settings exist but a folder on the command line bypasses them.
  QSettings stored(QStringLiteral("ZK"), QStringLiteral("Calvora"));
  stored.setValue("Language", 5);
  stored.setValue("WorkFolder", "/stored");
  stored.sync();
  const QString folder = QStringLiteral("C:\\fw\\given");
  const std::pair<int, uint32_t> cases[] = {{9, 1}, {-1, 1}, {8, 8}, {0, 0}, {3, 3}, {12, 1}};
  for (const auto& [number, language] : cases) {
    CCalcFWUpdateMSDialog* d = make(folder, number);
    EXPECT_EQ(d->language, language) << number;
    EXPECT_EQ(d->workFolder, folder);  // unchanged, backslashes and all
  }
  stored.clear();
}

TEST_F(DialogTest, LanguageAndFolderFromStoredSettings) {
  QSettings stored(QStringLiteral("ZK"), QStringLiteral("Calvora"));
  stored.setValue("WorkFolder", QStringLiteral("C:\\Data\\Calvora"));
  const std::pair<QVariant, uint32_t> cases[] = {{9, 1}, {0, 0},     {-1, 1},
                                                 {8, 8}, {"abc", 0}, {4, 4}};
  for (const auto& [value, language] : cases) {
    stored.setValue("Language", value);
    stored.sync();
    CCalcFWUpdateMSDialog* d = make(QString());
    EXPECT_EQ(d->language, language) << value.toString().toStdString();
    EXPECT_EQ(d->workFolder, QStringLiteral("C:/Data/Calvora/") + textOr(657, "Firmware"));
  }
  EXPECT_EQ(QCoreApplication::organizationName(), QStringLiteral("ZK"));
  EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("Calvora"));

  // Nothing stored: the system language and the documents folder.
  stored.clear();
  stored.sync();
  CCalcFWUpdateMSDialog* d = make(QString());
  EXPECT_EQ(d->language, static_cast<uint32_t>(systemLanguage()));
  EXPECT_EQ(d->workFolder,
            documentsFolder() + QStringLiteral("/Calvora/") + textOr(657, "Firmware"));
  EXPECT_FALSE(stored.contains("Language"));  // read, never written
}

TEST_F(DialogTest, CloseIsRefusedWhileATransferRuns) {
  CCalcFWUpdateMSDialog* d = make(path("fw"));
  d->show();
  d->transferActive.store(true);
  EXPECT_FALSE(d->close());
  EXPECT_TRUE(d->isVisible());
  d->reject();  // what Escape does
  EXPECT_TRUE(d->isVisible());
  d->transferActive.store(false);
  EXPECT_TRUE(d->close());
  EXPECT_FALSE(d->isVisible());
}

TEST_F(DialogTest, WaitingTicksShowTheTextLessItsLastCharacterPlusDots) {
  make(path("fw"));
  const std::pair<int, const char*> cases[] = {
      {1, "Waiting for connection..."},   {2, "Waiting for connection...."},
      {3, "Waiting for connection....."}, {4, "Waiting for connection......"},
      {0, "Waiting for connection.."},    {-3, "Waiting for connection.."}};
  for (const auto& [ticks, text] : cases) {
    call("onWaitingTicks", Q_ARG(int, ticks));
    EXPECT_EQ(dialog_->statusLabel->text(), QString::fromLatin1(text)) << ticks;
  }
}

TEST_F(DialogTest, CountdownCaptionsThenTransferStart) {
  CCalcFWUpdateMSDialog* d = make(path("fw"));
  call("onFoundDevice");
  EXPECT_EQ(d->startCountdownMs.load(), 5250);
  // The worker's steps: 4250, 3250, 2250, 1250, 250.
  int expectedSeconds = 4;
  for (int32_t left = 4250; left > 0; left -= 1000, --expectedSeconds) {
    d->startCountdownMs.store(left);
    call("onWaitingStart");
    EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Waiting to start\u2026"));
    EXPECT_EQ(d->cancelButton->text(), QStringLiteral("Start - %1").arg(expectedSeconds));
  }
  d->startCountdownMs.store(0);
  call("onWaitingStart");
  EXPECT_TRUE(d->statusLabel->text().isEmpty());
  EXPECT_EQ(d->cancelButton->text(), QStringLiteral("Start - 0"));

  d->statusLabel->setText("kept?");
  call("onDownloadActive");
  EXPECT_TRUE(d->transferActive.load());
  EXPECT_TRUE(d->statusLabel->text().isEmpty());
  EXPECT_EQ(d->cancelButton->text(), QStringLiteral("Start"));
  EXPECT_FALSE(d->cancelButton->isEnabled());
  // The worker had set the flag already: the status text stays.
  d->statusLabel->setText("Update OK (0)");
  call("onDownloadActive");
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update OK (0)"));
  call("onDownloadInactive");
  EXPECT_FALSE(d->transferActive.load());
}

// A screen reader reaches every widget by a name, and hears each new status.
TEST_F(DialogTest, ScreenReadersGetNamesAndHearTheStatus) {
  CCalcFWUpdateMSDialog* d = make(path("fw"), 4);
  for (QWidget* widget : d->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(d) && widget != d->browseButton) continue;
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(accessible, nullptr);
    if (widget == d->statusLabel || widget == d->noteLabel || widget == d->imageLabel ||
        widget == d->spareLabel) {
      if (widget != d->spareLabel) {
        EXPECT_FALSE(widget->accessibleDescription().isEmpty());
      }
      continue;  // the text is the name
    }
    EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
        << widget->metaObject()->className();
  }
  EXPECT_EQ(d->progressBar->accessibleName(), QStringLiteral("Fortschritt"))
      << "in the user's language";

  // Qt announces a label's new text as a name change while the label has no
  // fixed name: the status is read out as it changes.
  call("onWaitingTicks", Q_ARG(int, 2));
  QAccessibleInterface* status = QAccessible::queryAccessibleInterface(d->statusLabel);
  EXPECT_TRUE(d->statusLabel->accessibleName().isEmpty());
  EXPECT_EQ(status->text(QAccessible::Name), d->statusLabel->text());
  EXPECT_EQ(status->text(QAccessible::Description), QStringLiteral("Status des Updates"));
}

TEST_F(DialogTest, ButtonDuringCountdownShortensItAndNeverAborts) {
  CCalcFWUpdateMSDialog* d = make(path("fw"));
  d->show();
  d->startCountdownMs.store(4250);
  d->cancelButton->click();
  EXPECT_EQ(d->startCountdownMs.load(), 1000);
  EXPECT_TRUE(d->isVisible());
  EXPECT_FALSE(d->worker->stopRequested.load());
  EXPECT_FALSE(d->cancelButton->isHidden());
}

TEST_F(DialogTest, ButtonBeforeAnyCalculatorAbortsAndClosesTheWindow) {
  backend_.AddCalculator("alpha", 8 << 20);
  CCalcFWUpdateMSDialog* d = make(path("fw"));
  d->show();
  d->cancelButton->click();
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update aborted"));
  EXPECT_TRUE(d->cancelButton->isHidden());
  EXPECT_TRUE(d->progressBar->isHidden());
  EXPECT_TRUE(d->worker->stopRequested.load());
  EXPECT_FALSE(d->isVisible());
  // Nothing was written: the calculator is not told the update is over (it
  // may hold a torn image from an earlier run).
  EXPECT_FALSE(journalHas(backend_, "alpha", "CMD_FINISH"));
}

// The text a label showed the last time it was painted.
class PaintProbe : public QObject {
 public:
  explicit PaintProbe(QLabel* label) : label_(label) { label->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted = label_->text();
    return false;
  }
  QString painted;
  QString atPause;

 private:
  QLabel* label_;
};
std::atomic<PaintProbe*> g_probe{nullptr};

class DialogWithImages : public DialogTest {
 protected:
  // The worker's report of a step that ended with result: every calculator
  // named failed with it, the others attached and written.
  void ran(int result, std::initializer_list<std::wstring> attached = {L"alpha"},
           std::initializer_list<std::wstring> failing = {}) {
    LinkReport report;
    report.result = result;
    for (const std::wstring& path : attached) {
      CalculatorReport calculator;
      calculator.interfacePath = path;
      calculator.serial = std::string(path.begin(), path.end());
      const bool fails = failing.size() == 0
                             ? result != 0
                             : std::find(failing.begin(), failing.end(), path) != failing.end();
      calculator.code = fails ? result : 0;
      report.calculators.push_back(calculator);
    }
    dialog_->worker->noteEvents({CUpdateWorker::LinkEvent{{}, true, report}});
    call("onUpdaterRan", Q_ARG(int, result));
  }
  void SetUp() override {
    DialogTest::SetUp();
    QDir().mkpath(path("fw"));
    files_ = apptest::writeImageSet(path("fw"), false);
    make(path("fw"));
    dialog_->discoverImageSet();
    ASSERT_EQ(dialog_->imageList.size(), 3);
  }
  std::vector<apptest::ImageFile> files_;
};

TEST_F(DialogWithImages, FiveFailuresAreRetriedAndTheSixthEndsTheUpdate) {
  CCalcFWUpdateMSDialog* d = dialog_.get();
  for (int attempt = 1; attempt <= 5; ++attempt) {
    d->worker->imagePath.set(QString());
    ran(105);
    EXPECT_EQ(d->statusLabel->text(),
              QStringLiteral("Update failed (105), Retry: %1").arg(attempt));
    EXPECT_EQ(d->worker->retryCount.load(), attempt);
    EXPECT_EQ(d->worker->imagePath.get(), d->imageList.at(0).path);  // the same image again
    EXPECT_FALSE(d->cancelButton->isHidden());
    EXPECT_FALSE(d->worker->stopRequested.load());
  }
  ran(105);
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update failed (105)"));
  EXPECT_TRUE(d->cancelButton->isHidden());
  EXPECT_TRUE(d->progressBar->isHidden());
  EXPECT_TRUE(d->imageLabel->text().isEmpty());
  EXPECT_TRUE(d->worker->stopRequested.load());
  EXPECT_EQ(d->currentImage, 0);
}

TEST_F(DialogWithImages, SuccessMovesToTheNextImageAndResetsTheCount) {
  CCalcFWUpdateMSDialog* d = dialog_.get();
  ran(112);
  ASSERT_EQ(d->worker->retryCount.load(), 1);
  d->worker->state.store(CUpdateWorker::StateIdle);
  ran(0);
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update OK (0)"));
  EXPECT_EQ(d->currentImage, 1);
  EXPECT_EQ(d->worker->retryCount.load(), 0);
  EXPECT_EQ(d->worker->state.load(), CUpdateWorker::StateTransfer);
  EXPECT_EQ(d->worker->imagePath.get(), d->imageList.at(1).path);
  EXPECT_EQ(d->worker->targetOffset.get(), 0);
  EXPECT_EQ(d->imageLabel->text(), d->imageList.at(1).path);
  EXPECT_FALSE(d->worker->stopRequested.load());
  // The next transfer may already run when downloadInactive of the last one
  // arrives: the window must keep refusing to close.
  d->transferActive.store(true);
  call("onDownloadInactive");
  EXPECT_TRUE(d->transferActive.load());
}

// "Done" comes from the finishing step, which goes out only when every
// calculator of the update holds every image.
TEST_F(DialogWithImages, DoneOnlyAfterTheFinishAndExitsWithZero) {
  CCalcFWUpdateMSDialog* d = dialog_.get();
  norza::SetPaceScale(0.001);  // the 3 s before the exit become 3 ms
  for (int image = 0; image < 3; ++image) {
    EXPECT_FALSE(d->finishArmed);
    ran(0);
  }
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update OK (0)"));
  EXPECT_TRUE(d->finishArmed);
  EXPECT_FALSE(d->worker->stopRequested.load());
  ran(0);
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Done"));
  EXPECT_TRUE(d->cancelButton->isHidden());
  EXPECT_TRUE(d->progressBar->isHidden());
  EXPECT_TRUE(d->worker->stopRequested.load());
  EXPECT_EQ(runUntilExit(), 0);
}

// A calculator of the update that stays away: every attempt without it
// counts, and the last note names the calculators not updated (beta, and
// alpha, which got the first image again and again for beta's sake).
TEST_F(DialogWithImages, ACalculatorThatStaysAwayIsNamedInTheNote) {
  CCalcFWUpdateMSDialog* d = dialog_.get();
  ran(0, {L"alpha", L"beta"});
  for (int attempt = 1; attempt <= 6; ++attempt) ran(0, {L"alpha"});
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update failed (119)"));
  EXPECT_TRUE(d->noteLabel->text().startsWith(QStringLiteral(
      "Calculators not updated: 2 (alpha, beta). Reconnect them and start the update again.")))
      << d->noteLabel->text().toStdString();
  EXPECT_TRUE(d->worker->stopRequested.load());
}

// Reports the worker sent before the end never change the screen after it,
// and the final text is painted before the finishing command blocks.
TEST_F(DialogTest, TheEndStaysOnScreen) {
  CCalcFWUpdateMSDialog* d = make(path("missing"));
  d->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
  d->discoverImageSet();
  const QString noUpdates = d->statusLabel->text();
  ASSERT_EQ(noUpdates, QStringLiteral("No updates are available"));
  call("onWaitingTicks", Q_ARG(int, 2));
  call("onFoundDevice");
  call("onUpdaterRan", Q_ARG(int, 0));
  EXPECT_EQ(d->statusLabel->text(), noUpdates);
  EXPECT_EQ(d->startCountdownMs.load(), 0);

  PaintProbe probe(d->statusLabel);
  g_probe.store(&probe);
  norza::SetPauseObserver([](int milliseconds) {
    if (PaintProbe* p = g_probe.load(); p && milliseconds == 250) p->atPause = p->painted;
  });
  d->abortUpdate();
  norza::SetPauseObserver(nullptr);
  g_probe.store(nullptr);
  EXPECT_EQ(probe.atPause, QStringLiteral("Update aborted"));
}

TEST_F(DialogTest, MessagesAndProgressFromWriterThreadsArriveAsCopies) {
  CCalcFWUpdateMSDialog* d = make(path("fw"));
  QCoreApplication::processEvents();  // whatever the stopped worker left queued
  const int before = message_copies::inFlight();
  QueuedCounter progressSignals(d, &CCalcFWUpdateMSDialog::updateProgress);
  std::thread writer([d] {
    wchar_t text[32] = L"/fw/APPSDISK.DAT";
    d->emitUpdateMessage(text);
    text[1] = L'X';  // the writer's storage changes right after
    d->emitUpdateProgress(42);
  });
  writer.join();
  EXPECT_EQ(message_copies::inFlight(), before + 1);
  QCoreApplication::processEvents();
  EXPECT_EQ(d->imageLabel->text(), QStringLiteral("/fw/APPSDISK.DAT"));
  EXPECT_EQ(d->progressBar->value(), 42);
  EXPECT_EQ(message_copies::inFlight(), before);
  ASSERT_EQ(progressSignals.count, 1);

  // A text that is not one of the copies is shown and left alone.
  wchar_t own[] = L"plain";
  call("onUpdateMessage", Q_ARG(wchar_t*, own));
  EXPECT_EQ(d->imageLabel->text(), QStringLiteral("plain"));
  EXPECT_FALSE(message_copies::release(own));
}

}  // namespace
