// The update's ledger, alone and as the link keeps it: what each calculator
// holds decides whether the finishing command may go out, judged by the
// emulated calculators' bytes and journals.
#include <gtest/gtest.h>

#include <algorithm>

#include "emu_test_util.h"
#include "memory_backend.h"
#include "ledger.h"
#include "link.h"
#include "pacing.h"
#include "platform.h"
#include "transfer.h"

namespace norza::link {
namespace {

constexpr int64_t kApp = 0x500000;
constexpr int64_t kMaster = 0x100000;
constexpr int64_t kOs = 0;

TEST(UpdateLedgerTest, TracksWholeAndTornImagesAndWhoIsMissing) {
  UpdateLedger ledger;
  ledger.Begin({kApp, kMaster, kOs});
  EXPECT_EQ(ledger.NextImageNeeded(), kApp) << "nobody took part yet";
  // A arrived first; B arrived after the application image.
  for (int64_t image : {kApp, kMaster, kOs}) ledger.Record(L"A", image, 0);
  ledger.Record(L"B", kMaster, 0);
  ledger.Record(L"B", kOs, 0);
  EXPECT_TRUE(ledger.Complete(L"A"));
  EXPECT_FALSE(ledger.Complete(L"B"));
  EXPECT_EQ(ledger.NextImageNeeded(), kApp) << "transfer order, not offset order";

  ledger.Record(L"B", kApp, 0);
  EXPECT_EQ(ledger.NextImageNeeded(), -1);
  ledger.NoteAttached({L"A", L"B"});
  EXPECT_EQ(ledger.NotCompletedCount(), 0);

  // A failed rewrite tears an image that was whole; a calculator that a
  // pass did not list is not completed, and what comes back under its path
  // may be another calculator: it holds nothing.
  ledger.Record(L"A", kMaster, 112);
  ledger.NoteAttached({L"A"});
  EXPECT_FALSE(ledger.Complete(L"A"));
  EXPECT_EQ(ledger.NotCompletedCount(), 2);
  EXPECT_EQ(ledger.Missing({L"A"}), std::vector<std::wstring>{L"B"});
  ledger.NoteAttached({L"A", L"B"});
  EXPECT_EQ(ledger.NextImageNeeded(), kApp) << "B came back with nothing of the update";
  EXPECT_TRUE(ledger.TookPart(L"B"));
  EXPECT_EQ(ledger.ImagesEverWhole(), 3) << "rewriting what was once written is no progress";

  ledger.Begin({kApp});
  EXPECT_FALSE(ledger.AnyoneTookPart()) << "a new update forgets the last";
}

class LedgerLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPaceScale(0);
    platform::SetBackendForTesting(&backend);
    const int64_t images[] = {kApp, kMaster};
    BeginUpdateLedger(images, 2);
  }
  void TearDown() override {
    Ledger().Clear();
    platform::SetBackendForTesting(nullptr);
  }
  std::wstring Image(const std::string& name, std::size_t size, uint32_t seed) {
    const std::string path = dir.file(name);
    emu::test::WriteBinaryFile(path, emu::test::PatternBytes(size, seed));
    return platform::Utf8ToWide(path);
  }
  int32_t Download(const std::wstring& image, int64_t offset) {
    return DownloadImage(kCalculatorVendor, kCalculatorProduct, image.c_str(), offset, nullptr,
                         nullptr);
  }
  int32_t Finish() { return FinishUpdate(kCalculatorVendor, kCalculatorProduct); }
  bool Holds(const std::string& name, int64_t offset, std::size_t size, uint32_t seed) {
    return backend.DiskBytes(name, offset, size) == emu::test::PatternBytes(size, seed);
  }
  int Finishes() {
    int count = 0;
    for (const char* name : {"a", "b", "c"}) {
      if (backend.Find(name) != nullptr && backend.Find(name)->FinishReceived()) ++count;
    }
    return count;
  }

  emu::test::TempDir dir;
  emu::MemoryBackend backend;
};

TEST_F(LedgerLinkTest, FinishGoesOutOnlyWhenEveryCalculatorHoldsEveryImage) {
  backend.AddCalculator("a", 8 << 20);
  backend.AddCalculator("b", 8 << 20);
  const std::wstring app = Image("app", 40000, 1);
  const std::wstring master = Image("master", 32768, 2);
  ASSERT_EQ(Download(app, kApp), LINK_OK);

  // b drops out: a still gets the image, but the transfer is not a success.
  backend.Remove("b");
  EXPECT_EQ(Download(master, kMaster), LINK_CALCULATOR_MISSING);
  EXPECT_TRUE(Holds("a", kMaster, 32768, 2));
  EXPECT_EQ(Finish(), LINK_UPDATE_INCOMPLETE);
  EXPECT_EQ(CalculatorsNotCompleted(), 1);

  // Under b's path comes a fresh calculator (b had no serial, or it was
  // swapped): it gets every image, not only the one b lacked.
  backend.AddCalculator("b", 8 << 20);
  EXPECT_EQ(NextImageNeeded(), kApp);
  ASSERT_EQ(Download(app, kApp), LINK_OK);
  EXPECT_EQ(Finish(), LINK_UPDATE_INCOMPLETE);
  ASSERT_EQ(Download(master, kMaster), LINK_OK);
  EXPECT_TRUE(Holds("b", kApp, 40000, 1));
  backend.AddCalculator("c", 8 << 20);
  EXPECT_EQ(Finish(), LINK_UPDATE_INCOMPLETE) << "an attached calculator not in the update";
  EXPECT_EQ(Finishes(), 0);

  ASSERT_EQ(Download(app, kApp), LINK_OK);
  ASSERT_EQ(Download(master, kMaster), LINK_OK);
  backend.Remove("c");
  EXPECT_EQ(Finish(), LINK_CALCULATOR_MISSING);
  EXPECT_EQ(Finishes(), 0);
  backend.Replug("c");
  EXPECT_EQ(Finish(), LINK_UPDATE_INCOMPLETE) << "c was away: it is written again";
  ASSERT_EQ(Download(app, kApp), LINK_OK);
  ASSERT_EQ(Download(master, kMaster), LINK_OK);
  EXPECT_EQ(Finish(), LINK_OK);
  EXPECT_EQ(Finishes(), 3);
  for (const char* name : {"a", "b", "c"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(Holds(name, kApp, 40000, 1));
    EXPECT_TRUE(Holds(name, kMaster, 32768, 2));
  }
}

TEST_F(LedgerLinkTest, SeventeenCalculatorsAreRefusedWithoutOpeningOne) {
  for (int i = 0; i < 17; ++i) backend.AddCalculator("calc-" + std::to_string(i), 8 << 20);
  EXPECT_EQ(Download(Image("app", 4096, 1), kApp), LINK_TOO_MANY_CALCULATORS);
  EXPECT_EQ(Finish(), LINK_UPDATE_INCOMPLETE) << "nothing written, nothing finished";
  for (int i = 0; i < 17; ++i)
    EXPECT_TRUE(backend.Journal("calc-" + std::to_string(i)).empty()) << i;
  backend.Remove("calc-16");
  EXPECT_EQ(Download(Image("app", 4096, 1), kApp), LINK_OK);
}

TEST_F(LedgerLinkTest, ACalculatorGoneAfterTheLastChunkFailsItsFlush) {
  emu::Faults vanish;
  vanish.vanishAfterWrites = 2;  // right after the second and last chunk
  backend.AddCalculator("a", 8 << 20, vanish);
  backend.AddCalculator("b", 8 << 20);
  EXPECT_EQ(Download(Image("app", 32768, 3), kApp), LINK_FLUSH_FAILED);
  const auto journal = backend.Journal("a");
  EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                          [](const emu::JournalEvent& e) { return e.event == "write"; }),
            2);
  EXPECT_EQ(NextImageNeeded(), kApp) << "a holds no whole image";
}

}  // namespace
}  // namespace norza::link
