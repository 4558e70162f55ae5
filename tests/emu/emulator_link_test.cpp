// The link's entries driving emulated calculators: the whole road from
// discovery to CMD_FINISH, with faults on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "discovery.h"
#include "emu_test_util.h"
#include "memory_backend.h"
#include "link.h"
#include "link_lock.h"
#include "pacing.h"
#include "protocol.h"
#include "transfer.h"

namespace norza::emu {
namespace {

using test::PatternBytes;
using test::TempDir;

constexpr int64_t kDisk = 8 << 20;
constexpr int64_t kAppOffset = 0x500000;

// Callbacks are plain functions called from several writer threads.
std::mutex g_seenMutex;
std::vector<int32_t> g_progress;
std::vector<std::wstring> g_messages;

void OnProgress(int32_t percent) {
  std::lock_guard<std::mutex> lock(g_seenMutex);
  g_progress.push_back(percent);
}
void OnMessage(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_seenMutex);
  g_messages.emplace_back(text);
}

class EmulatedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPaceScale(0);
    platform::SetBackendForTesting(&backend);
    std::lock_guard<std::mutex> lock(g_seenMutex);
    g_progress.clear();
    g_messages.clear();
  }
  void TearDown() override { platform::SetBackendForTesting(nullptr); }

  std::wstring Image(const std::string& name, std::size_t size, uint32_t seed) {
    const std::string path = dir.file(name);
    test::WriteBinaryFile(path, PatternBytes(size, seed));
    return platform::Utf8ToWide(path);
  }

  int32_t Download(const std::wstring& image, int64_t offset) {
    return DownloadImage(kCalculatorVendor, kCalculatorProduct, image.c_str(), offset, &OnProgress,
                         &OnMessage);
  }

  static std::vector<uint32_t> ProgressSent(const std::vector<JournalEvent>& journal) {
    std::vector<uint32_t> percents;
    for (const auto& e : journal) {
      if (e.event == "command" && e.code == kCmdProgress) percents.push_back(e.parameter);
    }
    return percents;
  }
  static int Count(const std::vector<JournalEvent>& journal, const std::string& event,
                   const std::string& name = "") {
    return static_cast<int>(
        std::count_if(journal.begin(), journal.end(), [&](const JournalEvent& e) {
          return e.event == event && (name.empty() || e.name == name);
        }));
  }

  TempDir dir;
  MemoryBackend backend;
};

TEST_F(EmulatedLinkTest, TwoCalculatorsGetTheImageAndTheFinish) {
  backend.AddCalculator("calc-a", kDisk);
  backend.AddCalculator("calc-b", kDisk);
  backend.AddCalculator("memory-stick", kDisk, {}, Identity{"Generic", "USB Flash", {}});
  const auto bytes = PatternBytes(163840, 40);
  const std::wstring image = Image("NORZA_APP.DAT", bytes.size(), 40);

  ASSERT_EQ(LINK_OK, Download(image, kAppOffset));
  ASSERT_EQ(LINK_OK, FinishUpdate(kCalculatorVendor, kCalculatorProduct));

  const std::vector<uint32_t> percents = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
  for (const char* name : {"calc-a", "calc-b"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bytes, backend.DiskBytes(name, kAppOffset, bytes.size()));
    const auto journal = backend.Journal(name);
    EXPECT_EQ(percents, ProgressSent(journal));
    EXPECT_EQ(10, Count(journal, "write"));
    EXPECT_EQ(3, Count(journal, "window-read"));  // before, after, before the finish
    EXPECT_EQ(1, Count(journal, "flush"));
    EXPECT_EQ(Count(journal, "open"), Count(journal, "close"));
    EXPECT_TRUE(backend.Find(name)->FinishReceived());
    EXPECT_EQ(std::vector<uint8_t>(kBlockSize, 0),
              backend.DiskBytes(name, kCommandWindowOffset, kBlockSize))
        << "command blocks never reach the disk";
  }
  EXPECT_TRUE(backend.Journal("memory-stick").empty()) << "the stick is never opened";
  EXPECT_EQ(std::vector<uint8_t>(bytes.size(), 0),
            backend.DiskBytes("memory-stick", kAppOffset, bytes.size()));
  EXPECT_EQ(0, backend.OpenHandleCount());

  std::lock_guard<std::mutex> lock(g_seenMutex);
  EXPECT_EQ(22u, g_progress.size());
  EXPECT_EQ(2, std::count(g_progress.begin(), g_progress.end(), 100));
  EXPECT_EQ(std::vector<std::wstring>(2, image), g_messages);
}

TEST_F(EmulatedLinkTest, AVanishingCalculatorFailsOnlyItsOwnTransfer) {
  Faults vanish;
  vanish.vanishAfterWrites = 2;
  backend.AddCalculator("a", kDisk, vanish);
  backend.AddCalculator("b", kDisk);
  const auto bytes = PatternBytes(5 * 16384, 42);
  const std::wstring image = Image("NORZA_MASTER.DAT", bytes.size(), 42);

  EXPECT_EQ(LINK_WRITE_FAILED, Download(image, 0x100000));
  EXPECT_EQ(bytes, backend.DiskBytes("b", 0x100000, bytes.size()));
  EXPECT_TRUE(backend.Find("a")->Gone());
  EXPECT_TRUE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct)) << "b is still there";

  backend.Remove("b");
  EXPECT_FALSE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct));

  // Plugged back in, the retry goes through and rewrites the whole image.
  backend.Replug("a");
  EXPECT_EQ(LINK_OK, Download(image, 0x100000));
  EXPECT_EQ(bytes, backend.DiskBytes("a", 0x100000, bytes.size()));
}

TEST_F(EmulatedLinkTest, ALateCalculatorIsFoundByTheRetryingDiscovery) {
  Faults late;
  late.appearAfterPolls = 2;
  backend.AddCalculator("calc", kDisk, late);
  EXPECT_EQ(LINK_OK, Download(Image("one.dat", 512, 1), 0));
  EXPECT_EQ(3, backend.DiscoveryPasses());
  EXPECT_EQ((std::vector<uint32_t>{0, 100}), ProgressSent(backend.Journal("calc")));
}

TEST_F(EmulatedLinkTest, TheCommandPathLandsAtTheTargetOffset) {
  backend.AddCalculator("calc", kDisk);
  const auto bytes = PatternBytes(70000 - 70000 % 512, 43);  // crosses the 16-bit wrap
  const std::wstring image = Image("cmd.dat", bytes.size(), 43);

  std::lock_guard<std::mutex> lock(link::LinkMutex());
  link::deviceCount = link::FindCalculatorDisksWithRetry(
      link::DevicePathTable.data(), kCalculatorVendor, kCalculatorProduct, link::kDeviceSlots);
  ASSERT_EQ(1, link::deviceCount);
  link::OpenCalculatorDisks();
  link::TransferRequest request;
  request.targetOffset = 0x300000;
  request.length = static_cast<int64_t>(bytes.size());
  request.imagePath = request.messageText = image;
  request.useCommandPath = 1;
  EXPECT_EQ(LINK_OK, link::RunTransferJobs(request));
  link::CloseCalculatorDisks();

  EXPECT_EQ(bytes, backend.DiskBytes("calc", 0x300000, bytes.size()));
  const auto journal = backend.Journal("calc");
  EXPECT_EQ(0, Count(journal, "write"));
  EXPECT_EQ(1, Count(journal, "command", "CMD_CHECK_SIZE"));
  const auto percents = ProgressSent(journal);
  EXPECT_EQ(2, std::count(percents.begin(), percents.end(), 100u))
      << "100 twice on the command path";
}

}  // namespace
}  // namespace norza::emu
