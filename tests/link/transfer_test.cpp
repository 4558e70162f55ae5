#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <numeric>
#include <thread>

#include "link.h"
#include "link_fixture.h"

namespace norza::linktest {
namespace {

using namespace norza::link;

const std::wstring kImage = L"/images/NORZA_OS.ROM";
constexpr int64_t kTarget = 0x40000;  // clear of the command window

std::vector<uint8_t> Pattern(std::size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return bytes;
}

class TransferTest : public LinkTest {
 protected:
  int32_t Download(const std::wstring& image = kImage) {
    return DownloadImage(kCalculatorVendor, kCalculatorProduct, image.c_str(), kTarget,
                         Recorder::OnProgress, Recorder::OnMessage);
  }
  std::vector<std::string> ProgressCommands(int serial) const {
    std::vector<std::string> out;
    for (const std::string& event : Events(serial)) {
      if (event.rfind("cmd bedc ", 0) == 0) out.push_back(event.substr(9));
    }
    return out;
  }
  bool ImageOnDisk(int serial, const std::vector<uint8_t>& image) const {
    return Bytes(serial, kTarget, image.size()) == image;
  }
  void FailWrites(int serial, uint32_t count) {
    emu::Faults faults;
    faults.failWrites = count;
    fake.Find(DiskName(serial))->SetFaults(faults);
  }
  void DenyOpens(int serial) {
    emu::Faults faults;
    faults.denyOpens = 1000;  // more than any test opens
    fake.Find(DiskName(serial))->SetFaults(faults);
  }
};

TEST_F(TransferTest, ProgressCountsWholeChunks) {
  const struct {
    std::size_t size;
    std::vector<int32_t> progress;
  } cases[] = {
      {16384, {0, 100}},
      {16385, {0, 99, 100}},
      {163840, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
  };
  AddCalculator(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Recorder::Reset();
    ClearEvents(1);
    const std::vector<uint8_t> image = Pattern(c.size, static_cast<uint8_t>(c.size));
    fake.AddFile(kImage, image);
    ASSERT_EQ(Download(), LINK_OK);
    EXPECT_EQ(Recorder::Progress(), c.progress);
    std::vector<std::string> percents;
    for (int32_t p : c.progress) percents.push_back(std::to_string(p));
    EXPECT_EQ(ProgressCommands(1), percents);
    EXPECT_TRUE(ImageOnDisk(1, image));
    EXPECT_EQ(Recorder::Messages(), std::vector<std::wstring>{kImage});
  }
  EXPECT_EQ(fake.OpenHandleCount(), 0);
}

TEST_F(TransferTest, StepsAndPauses) {
  AddCalculator(1);
  fake.AddFile(kImage, Pattern(512, 1));
  ASSERT_EQ(Download(), LINK_OK);
  EXPECT_EQ(Events(1), (std::vector<std::string>{"window 15360", "cmd bedc 0", "write 262144 512",
                                                 "flush", "cmd bedc 100", "window 15872"}));
  EXPECT_EQ(Recorder::Pauses(), (std::vector<int>{100, 100, 100, 100}));
}

// The file sent is the file that was examined, opened once: an empty file,
// one that changed size or was replaced since it was examined never reaches
// a calculator, and never ends in 0 (FIFOs: linux_transfer_test.cpp).
TEST_F(TransferTest, AnImageIsSentOnlyAsItWasExamined) {
  AddCalculator(1);
  ImageFileFacts facts;
  fake.AddFile(kImage, {});
  EXPECT_EQ(Download(), LINK_IMAGE_UNUSABLE);

  fake.AddFile(kImage, Pattern(32768, 1));
  ASSERT_EQ(ExamineImageFile(kImage.c_str(), &facts), LINK_OK);
  EXPECT_EQ(facts.size, 32768);
  const auto downloadExamined = [&] {
    TransferOrder order;
    order.imagePath = kImage.c_str();
    order.examined = &facts;
    order.targetOffset = kTarget;
    order.progress = Recorder::OnProgress;
    order.message = Recorder::OnMessage;
    return TransferImage(kCalculatorVendor, kCalculatorProduct, order, nullptr);
  };
  fake.AddFile(kImage, Pattern(65536, 1));  // still being copied: it grew
  EXPECT_EQ(downloadExamined(), LINK_IMAGE_CHANGED);
  fake.AddFile(kImage, Pattern(32768, 2));  // another file of the same size
  EXPECT_EQ(downloadExamined(), LINK_IMAGE_CHANGED);
  EXPECT_TRUE(Events(1).empty());
  EXPECT_TRUE(Recorder::Messages().empty());
  EXPECT_EQ(LastLinkFailure().systemText, "the file changed after it was checked");

  ASSERT_EQ(ExamineImageFile(kImage.c_str(), &facts), LINK_OK);
  EXPECT_EQ(downloadExamined(), LINK_OK);
  EXPECT_TRUE(ImageOnDisk(1, Pattern(32768, 2)));
  EXPECT_EQ(fake.OpenHandleCount(), 0);
}

TEST_F(TransferTest, NoCalculatorIs104WithoutCallbacks) {
  fake.AddFile(kImage, Pattern(512, 1));
  EXPECT_EQ(Download(), LINK_NO_CALCULATOR);
  EXPECT_EQ(fake.DiscoveryPasses(), 6);  // the pauses between passes: discovery_test
  EXPECT_TRUE(Recorder::Progress().empty());
  EXPECT_TRUE(Recorder::Messages().empty());
  EXPECT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_NO_CALCULATOR);
}

// Six failed writes of a chunk are retried, the seventh ends that
// calculator's transfer; the first failure in table order is the result.
TEST_F(TransferTest, WriteRetriesAndFirstFailureInTableOrder) {
  AddCalculator(1);
  AddCalculator(2);
  const std::vector<uint8_t> image = Pattern(3 * 16384, 3);
  fake.AddFile(kImage, image);
  FailWrites(1, 6);
  EXPECT_EQ(Download(), LINK_OK);
  EXPECT_TRUE(ImageOnDisk(1, image));

  Fill(1, 0xEE);
  ClearEvents(1);
  FailWrites(1, 7);
  EXPECT_EQ(Download(), LINK_WRITE_FAILED);
  EXPECT_FALSE(ImageOnDisk(1, image));
  EXPECT_TRUE(ImageOnDisk(2, image));
  // A failed transfer is flushed but gets neither 100 nor the closing read.
  EXPECT_EQ(Events(1).back(), "flush");
  EXPECT_EQ(ProgressCommands(1), std::vector<std::string>{"0"});

  fake.FailImageReads(DiskName(2), true);
  EXPECT_EQ(Download(), LINK_IMAGE_READ_FAILED);
  EXPECT_TRUE(ImageOnDisk(1, image));
  EXPECT_EQ(fake.OpenHandleCount(), 0);

  // The writer keeps the system's text of the last failed write.
  TransferRequest request;
  request.imagePath = request.messageText = kImage;
  request.length = static_cast<int64_t>(image.size());
  TransferJob job;
  job.device = Open(1);
  job.image = fake.OpenFileForReading(kImage);
  job.length = request.length;
  job.imagePath = job.messageText = &request.imagePath;
  FailWrites(1, 7);
  EXPECT_EQ(WriterThread(job), LINK_WRITE_FAILED);
  EXPECT_EQ(job.writeErrorText, "Write Disk File: injected write failure");
  fake.Close(job.device);
  fake.Close(job.image);
}

TEST_F(TransferTest, FailuresBeforeTheDataLoop) {
  AddCalculator(1);
  EXPECT_EQ(Download(L"/images/missing.rom"), LINK_IMAGE_OPEN_FAILED);
  EXPECT_TRUE(Recorder::Messages().empty());
  fake.AddFile(kImage, Pattern(1024, 1));
  DenyOpens(1);
  EXPECT_EQ(Download(), LINK_DISK_NOT_OPEN);
  EXPECT_EQ(Recorder::Messages(), std::vector<std::wstring>{kImage});
  EXPECT_TRUE(Events(1).empty());
  EXPECT_TRUE(Recorder::Progress().empty());
}

std::atomic<int> g_starts{0};
bool FailEveryStart(std::thread&, TransferJob&) {
  ++g_starts;
  return false;
}
bool FailFirstStart(std::thread& thread, TransferJob& job) {
  return g_starts++ > 0 && StartWriterThread(thread, job);
}

TEST_F(TransferTest, RequestKindAndThreadStarts) {
  AddCalculator(1);
  FailWrites(1, 7);
  AddCalculator(2);
  fake.AddFile(kImage, Pattern(4096, 1));
  g_starts = 0;
  SetThreadStarterForTesting(FailEveryStart);
  TransferRequest request;
  request.requestKind = 3;
  EXPECT_EQ(RunTransferJobs(request), LINK_BAD_REQUEST_KIND);
  EXPECT_EQ(g_starts, 0);
  EXPECT_EQ(Download(), LINK_NO_WRITER_THREAD);
  EXPECT_EQ(g_starts, 2);
  g_starts = 0;
  // A calculator whose thread never starts is not written: it fails, and
  // the others still get the image.
  FailWrites(1, 0);
  SetThreadStarterForTesting(FailFirstStart);
  EXPECT_EQ(Download(), LINK_NO_WRITER_THREAD);
  EXPECT_TRUE(Events(1).empty());
  EXPECT_TRUE(ImageOnDisk(2, Pattern(4096, 1)));
}

TEST_F(TransferTest, PartialLastSectorKeepsTheBytesAfterTheImage) {
  AddCalculator(1);
  const std::vector<uint8_t> image = Pattern(16384 + 1000, 9);
  fake.AddFile(kImage, image);
  ASSERT_EQ(Download(), LINK_OK);
  EXPECT_TRUE(ImageOnDisk(1, image));
  const std::vector<uint8_t> after = Bytes(1, kTarget + static_cast<int64_t>(image.size()), 24 + 1);
  ASSERT_EQ(after.size(), 25u);
  EXPECT_TRUE(std::all_of(after.begin(), after.begin() + 24, [](uint8_t b) { return b == 0xEE; }));
  EXPECT_EQ(Bytes(1, kTarget + 16384 + 1024, 1), std::vector<uint8_t>{0xEE});
  EXPECT_EQ(Recorder::Progress(), (std::vector<int32_t>{0, 94, 100}));
}

TEST_F(TransferTest, AnImageThatShrinksWhileSentHasChanged) {
  AddCalculator(1);
  fake.AddFile(kImage, Pattern(20000, 1), /*reportedSize=*/32768);
  EXPECT_EQ(Download(), LINK_IMAGE_CHANGED);
  EXPECT_EQ(Recorder::Progress(), (std::vector<int32_t>{0, 50}));
}

TEST_F(TransferTest, CommandPathSendsDataBlocksAndChecksTheSize) {
  AddCalculator(1);
  fake.AddFile(kImage, Pattern(16384 + 300, 2));
  DevicePathTable[0] = CalculatorPath(1);
  deviceCount = 1;
  OpenCalculatorDisks();
  TransferRequest request;
  request.imagePath = request.messageText = kImage;
  request.length = 16384 + 300;
  request.useCommandPath = 1;
  EXPECT_EQ(RunTransferJobs(request), LINK_OK);
  EXPECT_EQ(Parameters(1).size(),
            1 + 64 + 2 + 1 + 1 + 1 + 1u);  // 0, data, 98, data, size, 100, 100
  EXPECT_EQ(ProgressCommands(1), (std::vector<std::string>{"0", "98", "100", "100"}));
  emu::Faults faults;
  faults.dropData = 1;  // acknowledged but lost: the size reply falls short
  fake.Find(DiskName(1))->SetFaults(faults);
  EXPECT_EQ(RunTransferJobs(request), LINK_SIZE_CHECK_FAILED);
  faults = {};
  faults.rejectNext = 7;  // six spent on the 0% report, the seventh on the first data block
  fake.Find(DiskName(1))->SetFaults(faults);
  EXPECT_EQ(RunTransferJobs(request), LINK_DATA_NOT_ACKED);
  CloseCalculatorDisks();
}

TEST_F(TransferTest, FinishReadsTheWindowAndPostsTheFinishToEveryOpenDisk) {
  AddCalculator(1);
  AddCalculator(2);
  DenyOpens(2);
  AddCalculator(3);
  EXPECT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_OK);
  const std::vector<std::string> expected{"window 15360", "cmd bec1 0"};
  EXPECT_EQ(Events(1), expected);
  EXPECT_EQ(Events(3), expected);
  EXPECT_EQ(fake.OpenHandleCount(), 0);
}

// What an update session drives: only the chosen calculators are written
// or told, each one's outcome and identity come back with what every pass
// listed, and progress names its calculator.
TEST_F(TransferTest, ChosenCalculatorsAndWhatTheEntriesReport) {
  for (int serial : {1, 2, 3}) AddCalculator(serial);
  const std::vector<uint8_t> image = Pattern(32768, 4);
  fake.AddFile(kImage, image);
  FailWrites(2, 7);
  const std::wstring away = CalculatorPath(9);
  const std::vector<std::wstring> chosen{CalculatorPath(1), CalculatorPath(2), away};
  static std::mutex seenMutex;
  static std::map<std::wstring, int32_t> seen;  // last percent per calculator
  seen.clear();
  TransferOrder order;
  order.imagePath = kImage.c_str();
  order.targetOffset = kTarget;
  order.only = &chosen;
  order.calculatorProgress = [](void*, const wchar_t* path, int32_t percent) {
    std::lock_guard<std::mutex> lock(seenMutex);
    seen[path] = percent;
  };
  LinkReport report;
  EXPECT_EQ(TransferImage(kCalculatorVendor, kCalculatorProduct, order, &report),
            LINK_WRITE_FAILED);
  ASSERT_EQ(report.calculators.size(), 3u);
  EXPECT_EQ(report.calculators[0].code, LINK_OK);
  EXPECT_EQ(report.calculators[0].serial, "sn01");
  EXPECT_EQ(report.calculators[1].code, LINK_WRITE_FAILED);
  EXPECT_EQ(report.calculators[1].failure.systemText, "Write Disk File: injected write failure");
  EXPECT_EQ(report.calculators[2].interfacePath, away);
  EXPECT_EQ(report.calculators[2].code, LINK_CALCULATOR_MISSING);
  EXPECT_TRUE(ImageOnDisk(1, image));
  EXPECT_TRUE(Events(3).empty()) << "not chosen, not touched";
  EXPECT_EQ(report.passes.size(), 2u) << "the discovery, and a look after the failure";
  EXPECT_EQ(seen[CalculatorPath(1)], 100);
  EXPECT_EQ(seen[CalculatorPath(2)], 0);

  const std::vector<std::wstring> first{CalculatorPath(1)};
  EXPECT_EQ(FinishCalculators(kCalculatorVendor, kCalculatorProduct, &first, true, &report),
            LINK_UPDATE_INCOMPLETE)
      << "others are attached";
  EXPECT_EQ(report.calculators.size(), 3u);
  const std::vector<std::wstring> firstAndAway{CalculatorPath(1), away};
  EXPECT_EQ(FinishCalculators(kCalculatorVendor, kCalculatorProduct, &firstAndAway, false, &report),
            LINK_CALCULATOR_MISSING);
  for (int serial : {1, 2, 3}) EXPECT_FALSE(fake.Find(DiskName(serial))->FinishReceived());
  EXPECT_EQ(FinishCalculators(kCalculatorVendor, kCalculatorProduct, &first, false, &report),
            LINK_OK);
  EXPECT_TRUE(fake.Find(DiskName(1))->FinishReceived());
  EXPECT_FALSE(fake.Find(DiskName(2))->FinishReceived());
  EXPECT_FALSE(fake.Find(DiskName(3))->FinishReceived());
}

// Working on 16 of 17 would leave one behind unnoticed: nothing is opened.
TEST_F(TransferTest, SeventeenCalculatorsAreRefusedWithoutOpeningOne) {
  for (int serial = 1; serial <= 17; ++serial) AddCalculator(serial);
  fake.AddFile(kImage, Pattern(4096, 1));
  EXPECT_EQ(Download(), LINK_TOO_MANY_CALCULATORS);
  EXPECT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_TOO_MANY_CALCULATORS);
  for (int serial = 1; serial <= 17; ++serial) EXPECT_TRUE(Events(serial).empty()) << serial;
  // Its report still lists every one attached, and who each is: the one
  // beyond the slots is not taken for unplugged.
  LinkReport report;
  TransferOrder order;
  order.imagePath = kImage.c_str();
  EXPECT_EQ(TransferImage(kCalculatorVendor, kCalculatorProduct, order, &report),
            LINK_TOO_MANY_CALCULATORS);
  ASSERT_FALSE(report.passes.empty());
  EXPECT_EQ(report.passes[0].size(), 17u);
  ASSERT_EQ(report.listed.size(), 17u);
  EXPECT_EQ(report.listed.back().interfacePath, fake.InterfacePath(DiskName(17)));
  EXPECT_FALSE(report.listed.back().serial.empty());
  fake.Remove(DiskName(17));
  EXPECT_EQ(Download(), LINK_OK);
}

// A calculator that vanishes right after the last chunk fails its flush, and
// the report says it is gone (whatever it held may have gone with it).
TEST_F(TransferTest, ACalculatorGoneAfterTheLastChunkFailsItsFlush) {
  emu::Faults vanish;
  vanish.vanishAfterWrites = 2;  // right after the second and last chunk
  AddCalculator(1, vanish);
  AddCalculator(2);
  fake.AddFile(kImage, Pattern(32768, 3));
  TransferOrder order;
  order.imagePath = kImage.c_str();
  order.targetOffset = kTarget;
  LinkReport report;
  EXPECT_EQ(TransferImage(kCalculatorVendor, kCalculatorProduct, order, &report),
            LINK_FLUSH_FAILED);
  ASSERT_EQ(report.calculators.size(), 2u);
  EXPECT_EQ(report.calculators[0].code, LINK_FLUSH_FAILED);
  EXPECT_TRUE(report.calculators[0].gone);
  EXPECT_EQ(report.calculators[1].code, LINK_OK);
  EXPECT_TRUE(ImageOnDisk(2, Pattern(32768, 3)));
}

TEST_F(TransferTest, PresenceChecksNeverOverlapATransfer) {
  AddCalculator(1);
  fake.AddFile(kImage, Pattern(32 * 16384, 1));  // fits on the 1 MiB disk
  std::atomic<bool> done{false};
  std::atomic<int> checks{0};
  std::thread poller([&] {
    while (!done) {
      EXPECT_TRUE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct));
      ++checks;
      std::this_thread::yield();
    }
  });
  for (int downloads = 0; downloads < 3 || checks < 20; ++downloads) EXPECT_EQ(Download(), LINK_OK);
  done = true;
  poller.join();
  EXPECT_GT(fake.DiscoveryPasses(), 0);
  EXPECT_EQ(fake.DiscoveryPassesWhileOpen(), 0);
}

}  // namespace
}  // namespace norza::linktest
