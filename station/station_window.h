// The station's window: the image set and the tally above, a board of
// sixteen slots (one per calculator, in port order), the history below.
// Lives on the GUI thread; the engine reaches it only through queued calls.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "board.h"
#include "history.h"
#include "station_engine.h"

class QProgressBar;

namespace norza::desktop {
class UpdateDesktop;
}

namespace norza::station {

// The text with this id in the station's language, or the literal.
QString StationText(int id, const char* literal);

// One slot of the board: a calculator's serial, port, state in words with
// an icon and a colour, and its own progress bar.
class SlotView : public QFrame {
  Q_OBJECT
 public:
  explicit SlotView(QWidget* parent);
  void display(const Slot* slot, int images);  // nullptr: an empty slot
  void showProgress(int percent);
  const std::wstring& path() const { return path_; }
  // What it shows, in one sentence (its accessible name).
  QString sentence() const { return sentence_; }

 private:
  void paint(const char* colour, const char* border);

  QLabel* icon_;
  QStyle::StandardPixmap shownIcon_ = QStyle::SP_CustomBase;  // the icon icon_ shows
  QLabel* serial_;
  QLabel* port_;
  QLabel* state_;
  QLabel* reason_;
  QProgressBar* bar_;
  std::wstring path_;
  QString sentence_;
};

class StationWindow : public QWidget, public Listener {
  Q_OBJECT
 public:
  explicit StationWindow(QString folder);
  ~StationWindow() override;

  // Scans the folder and, with a whole image set, starts the engine.
  void begin();
  QString historyPath() const { return historyPath_; }

  // Listener (engine and writer threads): each is handed to the GUI thread.
  void BoardChanged(const Board& board) override;
  void RoundEnded(const session::Round& round) override;
  void Progress(const std::wstring& interfacePath, int image, int percent) override;
  void Stopped() override;

 signals:
  void mailboxFilled();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // What the other threads left for the GUI thread: the latest board, each
  // calculator's latest percent, log lines, the engine's end.
  struct Mailbox {
    std::optional<Board> board;
    std::map<std::wstring, int> percents;
    QStringList logLines;
    bool stopped = false;
    bool wakePending = false;
  };
  void post(const std::function<void(Mailbox&)>& put);
  void drainMailbox();

  void buildWidgets();
  void showBoard(const Board& board);
  void showTally(const Tally& tally);
  void showProgress(const std::wstring& path, int percent);
  void announce(const QString& text);
  void noteDesktop(const Board& board);
  void chooseFolder();
  void openHistory();

  QString folder_;
  const QString historyPath_;
  std::vector<session::Image> images_;
  std::unique_ptr<StationHistory> history_;  // written on the engine thread

  QLabel* imagesLabel_;
  QLabel* tallyLabel_;
  QLabel* noticeLabel_;
  QLabel* announceLabel_;
  QLabel* historyLabel_;
  QPushButton* chooseButton_;
  QPushButton* historyButton_;
  QPushButton* closeButton_;
  std::array<SlotView*, kSlots> slots_{};
  std::vector<QString> shown_;  // each slot's last sentence, to announce changes

  std::mutex mailboxLock_;  // guards mailbox_
  Mailbox mailbox_;
  std::unique_ptr<desktop::UpdateDesktop> desktop_;
  Tally batchStart_;      // the tally when the current batch began
  bool stopped_ = false;  // the engine has ended
  bool closing_ = false;  // the user asked to close
  // Last, so it stops (and joins its thread) before anything it calls dies.
  std::unique_ptr<StationEngine> engine_;
};

}  // namespace norza::station
