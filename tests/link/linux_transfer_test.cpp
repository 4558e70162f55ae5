// Whole transfers through the Linux backend: onto a regular file standing in
// for the disk node, and onto a real loop block device when the machine
// allows one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "link.h"
#include "link_fixture.h"
#include "loop_device.h"
#include "sysfs_tree.h"

namespace norza::linktest {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kTarget = 0x20000;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

class LinuxTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPaceScale(0);
    Recorder::Reset();
    platform::SetBackendForTesting(backend.get());
    // An image of 3.04 chunks in a folder with a long, non-ASCII name.
    std::string folder = tree.root() + "/ファームウェア";
    while (folder.size() < 280) folder += "/" + std::string(50, 'f');
    fs::create_directories(folder);
    imagePath = folder + "/NORZA_OS.ROM";
    for (std::size_t i = 0; i < image.size(); ++i)
      image[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    WriteFile(imagePath, image);
  }
  void TearDown() override { platform::SetBackendForTesting(nullptr); }

  // Runs a transfer and the finish, then checks the disk's bytes.
  void TransferAndCheck(const std::string& diskBytesPath) {
    const std::wstring wide = platform::Utf8ToWide(imagePath);
    ASSERT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct, wide.c_str(), kTarget,
                            Recorder::OnProgress, Recorder::OnMessage),
              LINK_OK);
    EXPECT_EQ(Recorder::Messages(), std::vector<std::wstring>{wide});
    EXPECT_EQ(Recorder::Progress(), (std::vector<int32_t>{0, 32, 65, 98, 100}));
    EXPECT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_OK);

    const std::vector<uint8_t> disk = ReadFile(diskBytesPath);
    ASSERT_EQ(disk.size(), kDiskSize);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), disk.begin() + kTarget));
    EXPECT_EQ(disk[kTarget + image.size()], 0xEE);  // the rest of the last sector kept
    EXPECT_EQ(disk[kTarget - 1], 0xEE);
    const uint8_t finish[] = {0xAA, 0x55, 0x55, 0xAA, 'B', 'X', 'C', 'D', 0, 2, 0, 0, 0xC1, 0xBE};
    EXPECT_TRUE(std::equal(std::begin(finish), std::end(finish), disk.begin() + 87040));
  }

  static constexpr std::size_t kDiskSize = 1 << 20;
  SysfsTree tree;
  std::unique_ptr<platform::Backend> backend = platform::CreateNativeBackend();
  std::string imagePath;
  std::vector<uint8_t> image = std::vector<uint8_t>(3 * 16384 + 700);
};

// Refused before a byte reaches the disk: a disk of 4096-byte sectors, where
// the commands at sector 170 would fail and be ignored, and an image that
// runs past the disk's end.
TEST_F(LinuxTransfer, DisksThatCannotTakeTheImageAreRefusedUntouched) {
  const std::vector<uint8_t> before(kDiskSize, 0xEE);
  const std::string large = tree.root() + "/large-sectors.img";
  const std::string small = tree.root() + "/small.img";
  WriteFile(large, before);
  WriteFile(small, before);
  const std::wstring wide = platform::Utf8ToWide(imagePath);
  {
    LoopDevice largeSectors(large, 4096);
    if (!largeSectors.ok()) GTEST_SKIP() << "no loop device: " << largeSectors.why();
    tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042", largeSectors.node());
    tree.Activate();
    EXPECT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct, wide.c_str(), kTarget, nullptr,
                            nullptr),
              LINK_SECTOR_SIZE_UNSUPPORTED);
  }
  {
    LoopDevice loop(small);
    ASSERT_TRUE(loop.ok()) << loop.why();
    SysfsTree other;
    other.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042", loop.node());
    other.Activate();
    EXPECT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct, wide.c_str(), kDiskSize - 16384,
                            nullptr, nullptr),
              LINK_IMAGE_TOO_LARGE);
    EXPECT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct, wide.c_str(), 0x7FFFFFFFFFFFFE00,
                            nullptr, nullptr),
              LINK_IMAGE_TOO_LARGE)
        << "the end of the image does not wrap around";
  }
  EXPECT_EQ(ReadFile(large), before);
  EXPECT_EQ(ReadFile(small), before);
}

// On a real block device: a disk too small for the command window is never
// written where a failed seek left the position, and a disk that another
// exclusive user holds (as a mount does) is not opened at all.
TEST_F(LinuxTransfer, ASmallOrClaimedBlockDeviceIsNotWritten) {
  const std::string backing = tree.root() + "/small.img";
  const std::vector<uint8_t> before(65536, 0xEE);  // ends before sector 170
  WriteFile(backing, before);
  {
    LoopDevice loop(backing);
    if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
    tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042", loop.node());
    tree.Activate();
    platform::SetBackendForTesting(backend.get());
    EXPECT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_OK);

    const int holder = ::open(loop.node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    std::vector<std::wstring> paths;
    backend->ListDiskInterfaces(paths);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(backend->OpenDisk(paths[0]), platform::kInvalidHandle);
    EXPECT_NE(backend->LastErrorText().find("busy"), std::string::npos) << backend->LastErrorText();
    ::close(holder);
  }
  EXPECT_EQ(ReadFile(backing), before);
}

TEST_F(LinuxTransfer, OntoALoopBlockDeviceWithDirectIo) {
  const std::string backing = tree.root() + "/calculator.img";
  WriteFile(backing, std::vector<uint8_t>(kDiskSize, 0xEE));
  {
    LoopDevice loop(backing);
    if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
    tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042", loop.node());
    tree.AddUsbDisk("sdc", 2, "Generic", "Flash Disk", "8.07", "0001");
    tree.Activate();
    WriteFile(tree.dev() + "/sdc", std::vector<uint8_t>(4096, 0x11));

    // The disk really is opened for direct I/O (no fallback on a block device).
    std::vector<std::wstring> paths;
    backend->ListDiskInterfaces(paths);
    ASSERT_EQ(paths.size(), 2u);  // the calculator and the stick
    const platform::Handle disk = backend->OpenDisk(paths[0]);
    ASSERT_NE(disk, platform::kInvalidHandle);
    const int flags = fcntl(static_cast<int>(disk), F_GETFL);
    EXPECT_EQ(backend->Size(disk), static_cast<int64_t>(kDiskSize));  // the block device's size
    backend->Close(disk);
    EXPECT_TRUE(flags & O_DIRECT);

    TransferAndCheck(loop.node());
    EXPECT_EQ(ReadFile(tree.dev() + "/sdc"), std::vector<uint8_t>(4096, 0x11)) << "the stick";
  }
  EXPECT_EQ(ReadFile(backing)[kTarget + 5], image[5]);  // reached the file behind the device
}

// Image files of the emulated calculators are the host's files, opened and
// measured as the native backend does: a FIFO is refused at once instead of
// hanging the transfer, and a file cut short after it was examined is not
// sent.
class HostImageFiles : public LinkTest {};

TEST_F(HostImageFiles, AFifoIsRefusedAndATruncatedFileIsNotSent) {
  AddCalculator(1);
  SysfsTree scratch;
  const std::string fifo = scratch.root() + "/KORVAARM.ROM";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ImageFileFacts facts;
  EXPECT_EQ(ExamineImageFile(platform::Utf8ToWide(fifo).c_str(), &facts), LINK_IMAGE_UNUSABLE);
  EXPECT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct, platform::Utf8ToWide(fifo).c_str(),
                          kTarget, nullptr, nullptr),
            LINK_IMAGE_UNUSABLE);

  const std::string file = scratch.root() + "/MASTER.DAT";
  WriteFile(file, std::vector<uint8_t>(65536, 0x42));
  const std::wstring wide = platform::Utf8ToWide(file);
  ASSERT_EQ(ExamineImageFile(wide.c_str(), &facts), LINK_OK);
  ASSERT_EQ(::truncate(file.c_str(), 0), 0);
  TransferOrder order;
  order.imagePath = wide.c_str();
  order.examined = &facts;
  order.targetOffset = kTarget;
  EXPECT_EQ(TransferImage(kCalculatorVendor, kCalculatorProduct, order, nullptr),
            LINK_IMAGE_CHANGED);
  EXPECT_TRUE(Events(1).empty()) << "not a byte went to the calculator";
  EXPECT_EQ(fake.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace norza::linktest
