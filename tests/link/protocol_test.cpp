#include <gtest/gtest.h>

#include <numeric>

#include "link_fixture.h"

namespace norza::linktest {
namespace {

using namespace norza::link;
using platform::SeekFrom;

class ProtocolTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    AddCalculator(1);
    calculator = fake.Find(DiskName(1));
    handle = Open(1);
    ASSERT_NE(handle, platform::kInvalidHandle);
  }
  void TearDown() override {
    fake.Close(handle);
    LinkTest::TearDown();
  }
  // Makes the calculator answer its next count commands, whatever their
  // code, with a wrong reply code.
  void RejectNext(uint32_t count) {
    emu::Faults faults;
    faults.rejectNext = count;
    calculator->SetFaults(faults);
  }
  std::shared_ptr<emu::Calculator> calculator;
  platform::Handle handle = platform::kInvalidHandle;
};

TEST_F(ProtocolTest, ProgressBlockBytes) {
  ASSERT_TRUE(ReportProgress(handle, 42));
  std::vector<uint8_t> expected(512, 0);
  const uint8_t head[] = {0xAA, 0x55, 0x55, 0xAA, 0x42, 0x58, 0x43, 0x44, 0x00, 0x02,
                          0x00, 0x00, 0xDC, 0xBE, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00};
  std::copy(std::begin(head), std::end(head), expected.begin());
  EXPECT_EQ(calculator->LastCommandBlock(), expected);
  // The calculator answers DC BE 00 80 at offset 12.
  uint32_t code = 0;
  ASSERT_TRUE(SendCommand(handle, 0xBEDC, 42, &code, nullptr));
  EXPECT_EQ(code, 0x8000BEDCu);
}

TEST_F(ProtocolTest, ProgressIsRepeatedUntilAcknowledgedAtMostSixTimes) {
  RejectNext(5);
  EXPECT_TRUE(ReportProgress(handle, 7));
  EXPECT_EQ(Parameters(1).size(), 6u);
  ClearEvents(1);
  RejectNext(6);
  EXPECT_FALSE(ReportProgress(handle, 7));
  EXPECT_EQ(Parameters(1).size(), 6u);
  ClearEvents(1);
  calculator->SetPlainDisk(true);  // what comes back is the command itself: not a reply
  EXPECT_FALSE(ReportProgress(handle, 7));
  int windowWrites = 0;
  for (const emu::JournalEvent& e : fake.Journal(DiskName(1))) {
    if (e.event == "write" && e.offset == 87040 && e.length == 512) ++windowWrites;
  }
  EXPECT_EQ(windowWrites, 6);
}

// The calculator answers the size check with the count of data bytes it
// received since the last check.
TEST_F(ProtocolTest, SizeCheckNeedsCodeAndValue) {
  const std::vector<uint8_t> data(163840, 0x5A);
  ASSERT_TRUE(SendImageData(handle, data.data(), 163840, 0));
  EXPECT_TRUE(CheckImageSize(handle, 163840));
  ASSERT_TRUE(SendImageData(handle, data.data(), 163840 - 512, 0));
  EXPECT_FALSE(CheckImageSize(handle, 163840));
  ASSERT_TRUE(SendImageData(handle, data.data(), 1512, 0));
  uint32_t code = 0;
  uint32_t value = 0;
  ASSERT_TRUE(SendCommand(handle, 0xBEC7, 1000, &code, &value));
  EXPECT_EQ(code, 0x8000BEC7u);
  EXPECT_EQ(value, 1512u);
}

TEST_F(ProtocolTest, DataBlocksCarryTheLow16BitsOfTheOffset) {
  std::vector<uint8_t> data(300);
  std::iota(data.begin(), data.end(), uint8_t{1});
  ASSERT_TRUE(SendImageData(handle, data.data(), 300, 0x10000));
  EXPECT_EQ(Parameters(1), (std::vector<uint32_t>{0x00000100, 0x0100002C}));
  const std::vector<uint8_t> last = calculator->LastCommandBlock();
  ASSERT_EQ(last.size(), 512u);
  EXPECT_TRUE(std::equal(data.begin() + 256, data.end(), last.begin() + 20));
  EXPECT_EQ(last[20 + 44], 0);
  RejectNext(1);
  EXPECT_FALSE(SendImageData(handle, data.data(), 300, 0));
  EXPECT_EQ(Parameters(1).size(), 3u);  // stopped at the first refused block
}

TEST_F(ProtocolTest, TransactionsRestoreThePosition) {
  ASSERT_EQ(SeekDevice(handle, 123 * 512, SeekFrom::Begin), 123 * 512);
  uint32_t code = 0;
  EXPECT_TRUE(SendCommand(handle, 0xBEDC, 1, &code, nullptr));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 123 * 512);
  EXPECT_TRUE(SendFinish(handle));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 123 * 512);
  EXPECT_EQ(Events(1).back(), "cmd bec1 0");
  fake.Close(handle);
  EXPECT_FALSE(SendFinish(handle));
  EXPECT_FALSE(SendCommand(handle, 0xBEDC, 1, &code, nullptr));
}

TEST_F(ProtocolTest, WindowReadLeavesThePositionAfterIt) {
  EXPECT_TRUE(ReadCommandWindow(handle, false));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 87040 + 15360);
  EXPECT_TRUE(ReadCommandWindow(handle, true));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 87040 + 15872);
  EXPECT_EQ(Events(1), (std::vector<std::string>{"window 15360", "window 15872"}));
}

TEST(ChainFilterTest, XorsWithTheRunningByte) {
  std::vector<uint8_t> bytes = {0x01, 0x02, 0x03};
  link::filterKey = 0;
  ChainFilter(bytes.data(), 3);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x01, 0x02, 0x03}));
  link::filterKey = 0x15A;
  ChainFilter(bytes.data(), 3);
  link::filterKey = 0;
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x01 ^ 0x5A, 0x02 ^ 0x01, 0x03 ^ 0x02}));
}

}  // namespace
}  // namespace norza::linktest
