// The FUSE server's core: file reads, writes and fsyncs of the served disk
// reach the emulated calculator, which answers at sector 170, journals, and
// spends its faults. Then, where the machine allows a FUSE mount, the same
// through the kernel with O_DIRECT.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "emu_test_util.h"
#include "emulator.h"
#include "emulator_dir.h"
#include "served_disk.h"

extern char** environ;

namespace norza::emufuse {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kDiskSize = 1 << 20;
constexpr int64_t kWindow = emu::kCommandWindowOffset;

using emu::test::AlignedBytes;
using emu::test::PatternBytes;
using emu::test::ReadBinaryFile;
using emu::test::ReadTextFileOrEmpty;
using emu::test::TempDir;

uint32_t ReplyCode(const void* block) {
  return emu::LoadLe32(static_cast<const uint8_t*>(block) + 12);
}
uint32_t ReplyValue(const void* block) {
  return emu::LoadLe32(static_cast<const uint8_t*>(block) + 16);
}

class ServedDiskTest : public ::testing::Test {
 protected:
  std::unique_ptr<ServedDisk> Plug(const emu::Faults& faults = {}, const std::string& timing = "") {
    emu::PlugOptions options;
    options.size = kDiskSize;
    options.faults = faults;
    std::string error;
    EXPECT_TRUE(emu::PlugDisk(dir.str(), "calc", options, &error)) << error;
    auto disk = ServedDisk::Open(dir.file("calc.disk"), timing, &error);
    EXPECT_NE(disk, nullptr) << error;
    return disk;
  }
  std::string Journal() { return ReadTextFileOrEmpty(dir.file("calc.journal")); }

  TempDir dir;
};

TEST_F(ServedDiskTest, CommandAtSector170IsAnsweredOnceThenTheDiskShowsAgain) {
  auto disk = Plug({}, dir.file("timing"));
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->FileName(), "calc.disk");
  EXPECT_EQ(disk->Size(), kDiskSize);
  const uint64_t id = disk->OpenSession();

  const auto block = emu::MakeCommandBlock(emu::kCmdProgress, 42);
  EXPECT_EQ(disk->Write(id, kWindow, block.data(), block.size()), 512);
  char reply[512];
  ASSERT_EQ(disk->Read(id, kWindow, reply, sizeof reply), 512);
  EXPECT_EQ(ReplyCode(reply), 0x8000BEDCu);
  EXPECT_EQ(ReplyValue(reply), 42u);
  // The reply is read once; the next read sees the disk (zeros), so a cached
  // copy anywhere on the way would show up as a stale reply.
  ASSERT_EQ(disk->Read(id, kWindow, reply, sizeof reply), 512);
  EXPECT_EQ(ReplyCode(reply), 0u);
  disk->CloseSession(id);

  const std::string journal = Journal();
  EXPECT_NE(journal.find("{\"event\":\"open\"}"), std::string::npos);
  EXPECT_NE(journal.find("\"name\":\"CMD_PROGRESS\",\"parameter\":42"), std::string::npos);
  EXPECT_NE(journal.find("{\"event\":\"close\"}"), std::string::npos);

  // The timing file holds the same events, each behind a rising time stamp.
  std::istringstream timing(ReadTextFileOrEmpty(dir.file("timing")));
  std::string line;
  long long last = 0;
  int lines = 0;
  while (std::getline(timing, line)) {
    const auto space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    const long long stamp = std::stoll(line.substr(0, space));
    EXPECT_GE(stamp, last);
    last = stamp;
    emu::JournalEvent event;
    EXPECT_TRUE(emu::ParseJsonLine(line.substr(space + 1), &event)) << line;
    ++lines;
  }
  EXPECT_EQ(lines, 5);  // open, command, read, read, close
}

TEST_F(ServedDiskTest, DataLandsInTheDiskFileAndTransfersStopAtTheEnd) {
  auto disk = Plug();
  ASSERT_TRUE(disk);
  const uint64_t id = disk->OpenSession();
  const std::vector<uint8_t> data = PatternBytes(16384, 5);
  EXPECT_EQ(disk->Write(id, 0x10000, data.data(), data.size()), 16384);
  EXPECT_EQ(disk->Fsync(id), 0);
  EXPECT_EQ(ReadBinaryFile(dir.file("calc.disk"), 0x10000, data.size()), data);
  EXPECT_NE(Journal().find("{\"event\":\"write\",\"offset\":65536,\"length\":16384}"),
            std::string::npos);
  EXPECT_NE(Journal().find("{\"event\":\"flush\"}"), std::string::npos);

  char buffer[512];
  EXPECT_EQ(disk->Read(id, kDiskSize - 100, buffer, sizeof buffer), 100);
  EXPECT_EQ(disk->Read(id, kDiskSize, buffer, sizeof buffer), 0);
  EXPECT_EQ(disk->Write(id, kDiskSize - 256, buffer, sizeof buffer), -ENOSPC);
  EXPECT_EQ(disk->Read(id, -512, buffer, sizeof buffer), -EINVAL);
  EXPECT_EQ(disk->Read(id + 100, 0, buffer, sizeof buffer), -EBADF);
  EXPECT_EQ(disk->Fsync(id + 100), -EBADF);
  disk->CloseSession(id);
}

TEST_F(ServedDiskTest, FaultsAreSpentWrittenBackAndAVanishedDiskFails) {
  emu::Faults faults;
  faults.failWrites = 1;
  faults.vanishAfterWrites = 2;
  auto disk = Plug(faults);
  ASSERT_TRUE(disk);
  const uint64_t id = disk->OpenSession();
  const std::vector<uint8_t> data = PatternBytes(4096, 9);
  EXPECT_EQ(disk->Write(id, 0, data.data(), data.size()), -EIO);
  EXPECT_EQ(ReadTextFileOrEmpty(dir.file("calc.faults")), "vanish-after-writes=2\n");
  EXPECT_EQ(disk->Write(id, 0, data.data(), data.size()), 4096);
  EXPECT_FALSE(fs::exists(dir.file("calc.gone")));
  EXPECT_EQ(disk->Write(id, 4096, data.data(), data.size()), 4096);
  EXPECT_TRUE(fs::exists(dir.file("calc.gone")));
  EXPECT_FALSE(fs::exists(dir.file("calc.faults")));
  char buffer[512];
  EXPECT_EQ(disk->Read(id, 0, buffer, sizeof buffer), -EIO);
  EXPECT_EQ(disk->Fsync(id), -EIO);
  disk->CloseSession(id);
}

TEST_F(ServedDiskTest, OpenRefusesWhatIsNotAUsableDisk) {
  std::string error;
  EXPECT_EQ(ServedDisk::Open(dir.file("calc.img"), "", &error), nullptr);
  EXPECT_NE(error.find("not a NAME.disk"), std::string::npos) << error;
  EXPECT_EQ(ServedDisk::Open(dir.file("missing.disk"), "", &error), nullptr);
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  Plug();
  std::ofstream(dir.file("calc.faults")) << "explode=1\n";
  EXPECT_EQ(ServedDisk::Open(dir.file("calc.disk"), "", &error), nullptr);
  EXPECT_NE(error.find("explode"), std::string::npos) << error;
}

#ifdef NORZA_EMU_FUSE_BIN
// The server in the foreground; it says "mounted ..." once the mount is up.
// Unmounts and reaps it on every way out.
class FuseServer {
 public:
  FuseServer(const std::string& mountpoint, const std::string& diskPath) : mountpoint_(mountpoint) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> words = {NORZA_EMU_FUSE_BIN, mountpoint, "--disk", diskPath,
                                      "--foreground"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    FILE* in = ::fdopen(out[0], "r");
    char line[4096] = "";
    if (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) ready_ = line;
    if (in != nullptr) std::fclose(in);
  }
  ~FuseServer() {
    if (pid_ <= 0) return;
    if (::umount2(mountpoint_.c_str(), 0) != 0) ::umount2(mountpoint_.c_str(), MNT_DETACH);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  FuseServer(const FuseServer&) = delete;
  FuseServer& operator=(const FuseServer&) = delete;

  const std::string& ready() const { return ready_; }
  // Unmounts and waits for the server to end; its exit status.
  int Stop() {
    if (::umount2(mountpoint_.c_str(), 0) != 0) return -errno;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -errno;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string mountpoint_;
  pid_t pid_ = -1;
  std::string ready_;
};

TEST_F(ServedDiskTest, ThroughAFuseMountWithDirectIoEveryReadReachesTheCalculator) {
  if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "needs root and /dev/fuse to mount";
  }
  emu::PlugOptions options;
  options.size = kDiskSize;
  std::string error;
  ASSERT_TRUE(emu::PlugDisk(dir.str(), "calc", options, &error)) << error;
  const std::string mountpoint = dir.file("mnt");
  fs::create_directory(mountpoint);
  FuseServer server(mountpoint, dir.file("calc.disk"));
  if (server.ready().empty()) GTEST_SKIP() << "this machine refuses FUSE mounts";
  EXPECT_EQ(server.ready(), "mounted " + mountpoint + "/calc.disk\n");

  const std::string served = mountpoint + "/calc.disk";
  struct stat info {};
  ASSERT_EQ(::stat(served.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, kDiskSize);
  const int fd = ::open(served.c_str(), O_RDWR | O_DIRECT | O_SYNC | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const auto command = emu::MakeCommandBlock(emu::kCmdCheckSize, 777);
  AlignedBytes block(std::vector<uint8_t>(command.begin(), command.end())), reply(512);
  EXPECT_EQ(::pwrite(fd, block.data(), 512, kWindow), 512);
  EXPECT_EQ(::pread(fd, reply.data(), 512, kWindow), 512);
  EXPECT_EQ(ReplyCode(reply.data()), 0x8000BEC7u);
  EXPECT_EQ(::pread(fd, reply.data(), 512, kWindow), 512);
  EXPECT_EQ(ReplyCode(reply.data()), 0u) << "a read was answered from a cache";
  const std::vector<uint8_t> data = PatternBytes(16384, 3);
  AlignedBytes chunk(data);
  EXPECT_EQ(::pwrite(fd, chunk.data(), chunk.size(), 0x20000), static_cast<ssize_t>(chunk.size()));
  EXPECT_EQ(::fsync(fd), 0);
  EXPECT_EQ(::pwrite(fd, chunk.data(), chunk.size(), kDiskSize - 4096), -1);
  EXPECT_EQ(errno, ENOSPC);
  ::close(fd);
  EXPECT_EQ(server.Stop(), 0);

  EXPECT_EQ(ReadBinaryFile(dir.file("calc.disk"), 0x20000, data.size()), data);
  const std::string journal = Journal();
  EXPECT_NE(journal.find("\"name\":\"CMD_CHECK_SIZE\",\"parameter\":777"), std::string::npos);
  EXPECT_NE(journal.find("{\"event\":\"write\",\"offset\":131072,\"length\":16384}"),
            std::string::npos);
  EXPECT_NE(journal.find("{\"event\":\"close\"}"), std::string::npos);
}
#endif

}  // namespace
}  // namespace norza::emufuse
