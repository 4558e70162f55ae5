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
    disk = &fake.AddDisk(CalculatorPath(1));
    handle = OpenFirstDisk();
    ASSERT_NE(handle, platform::kInvalidHandle);
  }
  FakeDisk* disk = nullptr;
  platform::Handle handle = platform::kInvalidHandle;
};

TEST_F(ProtocolTest, ProgressBlockBytes) {
  ASSERT_TRUE(ReportProgress(handle, 42));
  std::vector<uint8_t> expected(512, 0);
  const uint8_t head[] = {0xAA, 0x55, 0x55, 0xAA, 0x42, 0x58, 0x43, 0x44, 0x00, 0x02,
                          0x00, 0x00, 0xDC, 0xBE, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00};
  std::copy(std::begin(head), std::end(head), expected.begin());
  EXPECT_EQ(disk->lastBlock, expected);
  // The fake answered DC BE 00 80 at offset 12.
  EXPECT_EQ(disk->bytes[COMMAND_WINDOW_OFFSET + 15], 0x80);
}

TEST_F(ProtocolTest, ProgressIsRepeatedUntilAcknowledgedAtMostSixTimes) {
  disk->wrongReplies = 5;
  EXPECT_TRUE(ReportProgress(handle, 7));
  EXPECT_EQ(disk->parameters.size(), 6u);
  disk->parameters.clear();
  disk->wrongReplies = 6;
  EXPECT_FALSE(ReportProgress(handle, 7));
  EXPECT_EQ(disk->parameters.size(), 6u);
  disk->parameters.clear();
  disk->calculator = false;  // what comes back is the command itself: not a reply
  EXPECT_FALSE(ReportProgress(handle, 7));
  EXPECT_EQ(disk->parameters.size(), 6u);
}

TEST_F(ProtocolTest, SizeCheckNeedsCodeAndValue) {
  EXPECT_TRUE(CheckImageSize(handle, 163840));
  disk->sizeReplyDelta = 512;
  EXPECT_FALSE(CheckImageSize(handle, 163840));
  uint32_t code = 0;
  uint32_t value = 0;
  ASSERT_TRUE(SendCommand(handle, CMD_CHECK_SIZE, 1000, &code, &value));
  EXPECT_EQ(code, 0x8000BEC7u);
  EXPECT_EQ(value, 1512u);
}

TEST_F(ProtocolTest, DataBlocksCarryTheLow16BitsOfTheOffset) {
  std::vector<uint8_t> data(300);
  std::iota(data.begin(), data.end(), uint8_t{1});
  ASSERT_TRUE(SendImageData(handle, data.data(), 300, 0x10000));
  EXPECT_EQ(disk->parameters, (std::vector<uint32_t>{0x00000100, 0x0100002C}));
  EXPECT_TRUE(std::equal(data.begin() + 256, data.end(), disk->lastBlock.begin() + 20));
  EXPECT_EQ(disk->lastBlock[20 + 44], 0);
  disk->wrongReplies = 1;
  EXPECT_FALSE(SendImageData(handle, data.data(), 300, 0));
  EXPECT_EQ(disk->parameters.size(), 3u);  // stopped at the first refused block
}

TEST_F(ProtocolTest, TransactionsRestoreThePosition) {
  ASSERT_EQ(SeekDevice(handle, 123 * 512, SeekFrom::Begin), 123 * 512);
  uint32_t code = 0;
  EXPECT_TRUE(SendCommand(handle, CMD_PROGRESS, 1, &code, nullptr));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 123 * 512);
  EXPECT_TRUE(SendFinish(handle));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 123 * 512);
  EXPECT_EQ(disk->events.back(), "cmd bec1 0");
  fake.Close(handle);
  EXPECT_FALSE(SendFinish(handle));
  EXPECT_FALSE(SendCommand(handle, CMD_PROGRESS, 1, &code, nullptr));
}

TEST_F(ProtocolTest, WindowReadLeavesThePositionAfterIt) {
  disk->bytes.resize(1 << 20);
  EXPECT_TRUE(ReadCommandWindow(handle, false));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 87040 + 15360);
  EXPECT_TRUE(ReadCommandWindow(handle, true));
  EXPECT_EQ(SeekDevice(handle, 0, SeekFrom::Current), 87040 + 15872);
  EXPECT_EQ(disk->events, (std::vector<std::string>{"window 15360", "window 15872"}));
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
