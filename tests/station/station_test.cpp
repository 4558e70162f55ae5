// The station's own rules: the board a teacher sees, the history's lines,
// and the engine over in-memory calculators, where a neighbour that keeps
// failing neither holds back nor fails a healthy calculator.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "board.h"
#include "history.h"
#include "link.h"
#include "memory_backend.h"
#include "pacing.h"
#include "platform.h"
#include "station_engine.h"

namespace norza::station {
namespace {

using session::Identity;
using session::Outcome;
using session::Round;
using session::RoundEnd;

std::vector<session::Image> ThreeImages() {
  return {{L"/fw/APPSDISK.DAT", "APPSDISK.DAT", 0x500000, {}},
          {L"/fw/KORVAARM.ROM", "KORVAARM.ROM", 0, {}},
          {L"/fw/MASTER.DAT", "MASTER.DAT", 0x100000, {}}};
}

Identity On(const std::wstring& path, const std::string& port) {
  return {path, std::string(path.begin(), path.end()), port, {}};
}

// A calculator unplugged mid-image keeps its slot, marked gone with the
// image it lacked, until another calculator takes its port; the board is
// in port order.
TEST(Board, AGoneCalculatorKeepsItsSlotUntilItsPortIsTaken) {
  session::UpdateSession session(session::Policy::PerCalculator, ThreeImages(),
                                 session::Course::OpenEnded);
  RoundBook book;
  session.NotePass({On(L"b", "1-2"), On(L"a", "1-3")});
  session.NotePass({On(L"b", "1-2"), On(L"a", "1-3")});
  session.NoteTransfer(
      0, LINK_OK,
      {Outcome{L"a", 0, false, {}, {}, {}, {}}, Outcome{L"b", 0, false, {}, {}, {}, {}}});
  session.NotePass({On(L"a", "1-3")});
  for (const Round& round : session.TakeEndedRounds()) book.Note(round);

  Board board = BuildBoard(session, book);
  ASSERT_EQ(board.calculators.size(), 2u);
  EXPECT_EQ(board.calculators[0].identity.port, "1-2");
  EXPECT_TRUE(board.calculators[0].gone);
  EXPECT_EQ(board.calculators[0].missingImage, 1);
  EXPECT_EQ(board.tally.gone, 1);
  EXPECT_EQ(board.tally.inProgress, 1);

  session.NotePass({On(L"a", "1-3"), On(L"c", "1-2")});
  board = BuildBoard(session, book);
  ASSERT_EQ(board.calculators.size(), 2u);
  EXPECT_EQ(board.calculators[0].identity.interfacePath, L"c");
  EXPECT_FALSE(board.calculators[0].gone);
}

// One line per round: the header once, fields a spreadsheet cannot take for
// formulas or split, and --history finds a day's lines.
TEST(History, LinesAreQuotedAndFoundByDay) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("norza-station/history.csv"));
  StationHistory history(path, {{QStringLiteral("APPSDISK.DAT"), QStringLiteral("ab12")}});
  Round round;
  round.identity = On(L"=HYPERLINK(\"x\")", "1-1");
  round.end = RoundEnd::Failed;
  round.code = LINK_WRITE_FAILED;
  round.reason = "Writing failed: \"disk\", gone\nforged,line";
  history.append(round, QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59), Qt::UTC));
  round.end = RoundEnd::Updated;
  round.code = 0;
  round.reason.clear();
  history.append(round, QDateTime(QDate(2026, 12, 8), QTime(0, 0, 1), Qt::UTC));

  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 4) << "header, two lines, the final newline";
  EXPECT_EQ(lines[0], StationHistory::header());
  EXPECT_EQ(lines[1],
            QStringLiteral("2026-12-07T23:59:59Z,\"'=HYPERLINK(\"\"x\"\")\",1-1,APPSDISK.DAT=ab12,"
                           "failed,112,\"Writing failed: \"\"disk\"\", gone forged,line\""));
  bool found = false;
  const QStringList day = StationHistory::linesOfDay(path, QDate(2026, 12, 8), &found);
  ASSERT_TRUE(found);
  ASSERT_EQ(day.size(), 1);
  EXPECT_TRUE(day[0].endsWith(QStringLiteral(",updated,0,")));
}

// The engine over in-memory calculators, observed through its listener.
class Recorder : public Listener {
 public:
  void BoardChanged(const Board&) override {}
  void Progress(const std::wstring&, int, int) override {}
  void RoundEnded(const Round& round) override {
    std::lock_guard<std::mutex> lock(mutex_);
    rounds_.push_back(round);
    changed_.notify_all();
  }
  void Stopped() override {}
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_.size();
  }
  // Waits (bounded) until count rounds have ended; returns them.
  std::vector<Round> WaitForRounds(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return rounds_.size() >= count; });
    return rounds_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Round> rounds_;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPaceScale(0);
    platform::SetBackendForTesting(&backend_);
    const std::vector<std::pair<std::wstring, int64_t>> files = {
        {L"/fw/APPSDISK.DAT", 0x500000}, {L"/fw/KORVAARM.ROM", 0}, {L"/fw/MASTER.DAT", 0x100000}};
    for (const auto& [path, offset] : files) {
      std::vector<uint8_t> bytes(40000 + images_.size() * 1000);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + offset);
      backend_.AddFile(path, bytes);
      session::Image image{path, platform::WideToUtf8(path.substr(4)), offset, {}};
      ASSERT_EQ(ExamineImageFile(path.c_str(), &image.facts), LINK_OK);
      images_.push_back(image);
      bytes_.push_back(bytes);
    }
  }
  void TearDown() override {
    platform::SetBackendForTesting(nullptr);
    SetPaceScale(1);
  }
  bool Holds(const std::string& name) const {
    for (std::size_t i = 0; i < images_.size(); ++i) {
      if (backend_.DiskBytes(name, images_[i].offset, bytes_[i].size()) != bytes_[i]) return false;
    }
    return true;
  }
  int DataWrites(const std::string& name) const {
    int writes = 0;
    for (const emu::JournalEvent& event : backend_.Journal(name)) writes += event.event == "write";
    return writes;
  }

  emu::MemoryBackend backend_;
  std::vector<session::Image> images_;
  std::vector<std::vector<uint8_t>> bytes_;
};

TEST_F(EngineTest, AFailingNeighbourHoldsBackNobodyAndGetsANewRoundOnlyWhenPluggedInAgain) {
  emu::Faults failing;
  failing.failWrites = 1000;
  backend_.AddCalculator("bad", 8 << 20, failing);
  backend_.AddCalculator("good", 8 << 20);
  Recorder recorder;
  StationEngine engine(images_, recorder);
  engine.Start();

  std::vector<Round> rounds = recorder.WaitForRounds(2);
  ASSERT_EQ(rounds.size(), 2u);
  EXPECT_EQ(rounds[0].identity.serial, "good") << "finished while its neighbour still fails";
  EXPECT_EQ(rounds[0].end, RoundEnd::Updated);
  EXPECT_TRUE(Holds("good"));
  EXPECT_TRUE(backend_.Find("good")->FinishReceived());
  EXPECT_EQ(rounds[1].identity.serial, "bad");
  EXPECT_EQ(rounds[1].end, RoundEnd::Failed);
  EXPECT_EQ(rounds[1].code, LINK_WRITE_FAILED);
  EXPECT_FALSE(backend_.Find("bad")->FinishReceived());

  // Given up: the station keeps looking, and writes it no more.
  const int writes = DataWrites("bad");
  const auto passesFromNow = [&](int more) {
    const int target = backend_.DiscoveryPasses() + more;
    while (backend_.DiscoveryPasses() < target) std::this_thread::yield();
  };
  passesFromNow(10);
  EXPECT_EQ(DataWrites("bad"), writes);

  // Mended, unplugged and plugged in again: a new round with fresh attempts.
  backend_.Find("bad")->SetFaults({});
  backend_.Remove("bad");
  passesFromNow(3);
  EXPECT_EQ(recorder.Count(), 2u) << "unplugging a given-up calculator ends no round";
  backend_.Replug("bad");
  rounds = recorder.WaitForRounds(3);
  ASSERT_EQ(rounds.size(), 3u);
  EXPECT_EQ(rounds[2].end, RoundEnd::Updated);
  EXPECT_TRUE(Holds("bad"));
  engine.Stop();
}

}  // namespace
}  // namespace norza::station
