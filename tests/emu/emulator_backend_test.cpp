// The emulated backends: the in-memory one and the directory one of
// NORZA_EMULATOR_DIR, seen through the platform::Backend interface.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "emu_test_util.h"
#include "memory_backend.h"

namespace norza::emu {
namespace {

namespace fs = std::filesystem;
using platform::Handle;
using platform::kInvalidHandle;
using platform::SeekFrom;
using test::AlignedBytes;
using test::PatternBytes;
using test::TempDir;

std::vector<std::wstring> List(platform::Backend& backend) {
  std::vector<std::wstring> paths;
  backend.ListDiskInterfaces(paths);
  return paths;
}

bool WriteAt(platform::Backend& backend, Handle h, int64_t offset, AlignedBytes& bytes) {
  uint32_t done = 0;
  return backend.Seek(h, offset, SeekFrom::Begin) == offset &&
         backend.Write(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &done) &&
         done == bytes.size();
}

bool ReadAt(platform::Backend& backend, Handle h, int64_t offset, AlignedBytes& bytes) {
  uint32_t done = 0;
  return backend.Seek(h, offset, SeekFrom::Begin) == offset &&
         backend.Read(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &done) &&
         done == bytes.size();
}

uint32_t Command(platform::Backend& backend, Handle h, uint32_t code, uint32_t parameter) {
  AlignedBytes block(kBlockSize);
  const auto bytes = MakeCommandBlock(code, parameter);
  std::copy(bytes.begin(), bytes.end(), block.data());
  EXPECT_TRUE(WriteAt(backend, h, kCommandWindowOffset, block));
  AlignedBytes reply(kBlockSize);
  EXPECT_TRUE(ReadAt(backend, h, kCommandWindowOffset, reply));
  return LoadLe32(reply.data() + 12);
}

TEST(MemoryBackend, HandlesHaveTheirOwnPositionAndTakeWholeAlignedSectors) {
  MemoryBackend backend;
  backend.AddCalculator("calc", 1 << 20);
  const Handle a = backend.OpenDisk(backend.InterfacePath("calc"));
  const Handle b = backend.OpenDisk(backend.InterfacePath("calc"));
  ASSERT_NE(kInvalidHandle, a);
  ASSERT_NE(a, b);
  EXPECT_EQ(1 << 20, backend.Size(a));
  EXPECT_EQ(8192, backend.Seek(a, 4096, SeekFrom::Begin) + backend.Seek(a, 0, SeekFrom::Current));
  EXPECT_EQ(0, backend.Seek(b, 0, SeekFrom::Current));
  EXPECT_EQ(-1, backend.Seek(b, -512, SeekFrom::Current));

  AlignedBytes data(PatternBytes(16384, 5));
  ASSERT_TRUE(WriteAt(backend, a, 0x10000, data));
  EXPECT_EQ(0x10000 + 16384, backend.Seek(a, 0, SeekFrom::Current)) << "the position advances";
  AlignedBytes back(16384);
  ASSERT_TRUE(ReadAt(backend, b, 0x10000, back));
  EXPECT_EQ(data.vector(), back.vector());
  EXPECT_EQ(0x8000BEDCu, Command(backend, a, kCmdProgress, 3));

  uint32_t done = 7;
  backend.Seek(a, 100, SeekFrom::Begin);
  EXPECT_FALSE(backend.Write(a, data.data(), 512, &done)) << "position inside a sector";
  EXPECT_EQ(0u, done);
  EXPECT_NE(std::string::npos, backend.LastErrorText().find("unaligned"));
  backend.Seek(a, 0, SeekFrom::Begin);
  EXPECT_FALSE(backend.Write(a, data.data(), 100, &done)) << "part of a sector";
  EXPECT_FALSE(backend.Read(a, data.data() + 512, 512, &done)) << "buffer not aligned";

  backend.Close(a);
  backend.Close(b);
  EXPECT_EQ(0, backend.OpenHandleCount());
  EXPECT_EQ(-1, backend.Size(a)) << "a closed handle is invalid";
}

TEST(MemoryBackend, ImageFilesAreServedFromTheHost) {
  TempDir dir;
  const std::string path = dir.file(u8"Bild-\u00e4\u6f22.dat");
  const auto bytes = PatternBytes(1000, 9);
  test::WriteBinaryFile(path, bytes);
  MemoryBackend backend;
  const Handle h = backend.OpenFileForReading(platform::Utf8ToWide(path));
  ASSERT_NE(kInvalidHandle, h);
  EXPECT_EQ(1000, backend.Size(h));
  EXPECT_EQ(600, backend.Seek(h, 600, SeekFrom::Begin));
  std::vector<uint8_t> buffer(1024);
  uint32_t done = 0;
  ASSERT_TRUE(backend.Read(h, buffer.data(), 1024, &done));
  ASSERT_EQ(400u, done) << "a short read at the end of the file";
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 400, bytes.begin() + 600));
  ASSERT_TRUE(backend.Read(h, buffer.data(), 1024, &done));
  EXPECT_EQ(0u, done);
  EXPECT_FALSE(backend.Write(h, buffer.data(), 512, &done));
  backend.Close(h);
  EXPECT_EQ(kInvalidHandle,
            backend.OpenFileForReading(platform::Utf8ToWide(dir.file("missing.dat"))));
}

// ---------------------------------------------------------------------------
// The directory backend

class DirectoryBackendTest : public ::testing::Test {
 protected:
  void Plug(const std::string& name, PlugOptions options = {}) {
    if (options.size == PlugOptions{}.size) options.size = 1 << 20;
    std::string error;
    ASSERT_TRUE(PlugDisk(dir.str(), name, options, &error)) << error;
  }
  std::wstring PathOf(const std::string& name) { return InterfacePathFor(Identity{}, name); }
  std::string Faults(const std::string& name) {
    return test::ReadTextFileOrEmpty(FilesOf(dir.str(), name).faults);
  }

  TempDir dir;
  std::unique_ptr<platform::Backend> backend = emu::CreateDirectoryBackend(dir.str());
};

TEST_F(DirectoryBackendTest, DisksComeAndGoBetweenPasses) {
  EXPECT_TRUE(List(*backend).empty());
  Plug("zeta");
  Plug("alpha");
  PlugOptions stick;
  stick.identity = Identity{"SanDisk", "Cruzer", {}};
  Plug("stick", stick);
  test::WriteBinaryFile(dir.file("notes.txt"), {1, 2, 3});
  auto paths = List(*backend);
  ASSERT_EQ(3u, paths.size());
  EXPECT_EQ(PathOf("alpha"), paths[0]);
  EXPECT_NE(std::wstring::npos, paths[1].find(L"ven_sandisk&prod_cruzer&rev_1.00#stick&0#"));
  EXPECT_EQ(PathOf("zeta"), paths[2]);

  std::string error;
  ASSERT_TRUE(UnplugDisk(dir.str(), "alpha", &error)) << error;
  paths = List(*backend);
  ASSERT_EQ(2u, paths.size());
  EXPECT_EQ(kInvalidHandle, backend->OpenDisk(PathOf("alpha")));
  EXPECT_FALSE(UnplugDisk(dir.str(), "alpha", &error));
}

TEST_F(DirectoryBackendTest, UnplugUnderAnOpenHandleFailsItsIo) {
  Plug("calc");
  const Handle h = backend->OpenDisk(PathOf("calc"));
  AlignedBytes data(PatternBytes(512, 3));
  ASSERT_TRUE(WriteAt(*backend, h, 0, data));
  std::string error;
  if (!UnplugDisk(dir.str(), "calc", &error)) {
    backend->Close(h);
    GTEST_SKIP() << "this platform does not delete open files";
  }
  EXPECT_FALSE(WriteAt(*backend, h, 512, data));
  EXPECT_FALSE(backend->Flush(h));
  backend->Close(h);
}

TEST_F(DirectoryBackendTest, DataLandsInTheDiskFileAndTheJournalHoldsJsonLines) {
  Plug("calc");
  const Handle h = backend->OpenDisk(PathOf("calc"));
  ASSERT_NE(kInvalidHandle, h);
  EXPECT_EQ(1 << 20, backend->Size(h));
  AlignedBytes window(kWindowReadBefore);
  ASSERT_TRUE(ReadAt(*backend, h, kCommandWindowOffset, window));
  AlignedBytes data(PatternBytes(16384, 21));
  ASSERT_TRUE(WriteAt(*backend, h, 0x40000, data));
  EXPECT_EQ(0x8000BEDCu, Command(*backend, h, kCmdProgress, 42));
  EXPECT_FALSE(WriteAt(*backend, h, (1 << 20) - 512, data)) << "past the end";
  EXPECT_TRUE(backend->Flush(h));
  backend->Close(h);

  const DiskFiles files = FilesOf(dir.str(), "calc");
  EXPECT_EQ(data.vector(), test::ReadBinaryFile(files.disk, 0x40000, 16384));
  EXPECT_EQ(std::vector<uint8_t>(512, 0),
            test::ReadBinaryFile(files.disk, kCommandWindowOffset, 512));
  Plug("calc");  // plugging an existing disk keeps its bytes and size
  EXPECT_EQ(data.vector(), test::ReadBinaryFile(files.disk, 0x40000, 16384));
  EXPECT_EQ(static_cast<uintmax_t>(1 << 20), fs::file_size(fs::u8path(files.disk)));

  std::istringstream lines(test::ReadTextFileOrEmpty(files.journal));
  std::vector<std::string> events;
  for (std::string line; std::getline(lines, line);) {
    JournalEvent e;
    ASSERT_TRUE(ParseJsonLine(line, &e)) << line;
    events.push_back(e.event == "command" ? e.name : e.event);
  }
  EXPECT_EQ((std::vector<std::string>{"open", "window-read", "write", "CMD_PROGRESS", "read",
                                      "error", "flush", "close"}),
            events);
}

TEST_F(DirectoryBackendTest, SpentFaultsAreWrittenBackAndDoNotReturn) {
  PlugOptions options;
  options.faults.failWrites = 3;
  options.faults.rejectCommand = kCmdProgress;
  options.faults.rejectCount = 1;
  Plug("calc", options);
  AlignedBytes data(PatternBytes(512, 1));

  Handle h = backend->OpenDisk(PathOf("calc"));
  EXPECT_FALSE(WriteAt(*backend, h, 0, data));
  EXPECT_FALSE(WriteAt(*backend, h, 0, data));
  EXPECT_EQ(kCmdProgress, Command(*backend, h, kCmdProgress, 0));
  EXPECT_EQ("fail-writes=1\n", Faults("calc"));
  backend->Close(h);

  h = backend->OpenDisk(PathOf("calc"));
  EXPECT_FALSE(WriteAt(*backend, h, 0, data));
  EXPECT_TRUE(WriteAt(*backend, h, 0, data));
  EXPECT_EQ(0x8000BEDCu, Command(*backend, h, kCmdProgress, 0));
  backend->Close(h);
  EXPECT_FALSE(fs::exists(fs::u8path(FilesOf(dir.str(), "calc").faults))) << "all spent";
}

TEST_F(DirectoryBackendTest, VanishingHidesTheDiskUntilPluggedAgain) {
  PlugOptions options;
  options.faults.vanishAfterWrites = 1;
  options.faults.failWrites = 1;
  Plug("calc", options);
  AlignedBytes data(PatternBytes(512, 2));
  const Handle h = backend->OpenDisk(PathOf("calc"));
  EXPECT_FALSE(WriteAt(*backend, h, 0, data)) << "fail-writes comes first";
  EXPECT_TRUE(WriteAt(*backend, h, 0, data));
  EXPECT_FALSE(WriteAt(*backend, h, 512, data));
  EXPECT_TRUE(List(*backend).empty());
  EXPECT_TRUE(fs::exists(fs::u8path(FilesOf(dir.str(), "calc").gone)));
  EXPECT_EQ(kInvalidHandle, backend->OpenDisk(PathOf("calc")));
  backend->Close(h);

  Plug("calc");
  EXPECT_EQ(1u, List(*backend).size());
  EXPECT_EQ(data.vector(), test::ReadBinaryFile(FilesOf(dir.str(), "calc").disk, 0, 512));
  EXPECT_EQ("", Faults("calc"));
}

TEST_F(DirectoryBackendTest, AVanishedDiskReturnsWithItsBytesAtTheNthPass) {
  PlugOptions options;
  options.faults.vanishAfterWrites = 2;
  options.faults.returnAfterPolls = 3;
  Plug("calc", options);
  Plug("other");
  const DiskFiles files = FilesOf(dir.str(), "calc");
  AlignedBytes first(PatternBytes(16384, 7)), second(PatternBytes(16384, 8));
  const Handle before = backend->OpenDisk(PathOf("calc"));
  ASSERT_TRUE(WriteAt(*backend, before, 0x40000, first));
  backend->Close(before);
  EXPECT_EQ("vanish-after-writes=1\nreturn-after-polls=3\n", Faults("calc"))
      << "counted across opens";
  const Handle old = backend->OpenDisk(PathOf("calc"));
  ASSERT_TRUE(WriteAt(*backend, old, 0x40000 + 16384, second));
  EXPECT_EQ("return-after-polls=3\n", Faults("calc"));

  EXPECT_EQ(std::vector<std::wstring>{PathOf("other")}, List(*backend));
  // The count lives in the faults file, so another process goes on with it.
  EXPECT_EQ("return-after-polls=2\n", Faults("calc"));
  auto another = emu::CreateDirectoryBackend(dir.str());
  EXPECT_EQ(std::vector<std::wstring>{PathOf("other")}, List(*another));
  EXPECT_EQ(kInvalidHandle, backend->OpenDisk(PathOf("calc")));
  EXPECT_EQ((std::vector<std::wstring>{PathOf("calc"), PathOf("other")}), List(*backend));
  EXPECT_FALSE(fs::exists(fs::u8path(files.gone)));
  EXPECT_FALSE(fs::exists(fs::u8path(files.faults))) << "spent";
  EXPECT_EQ(2u, List(*backend).size()) << "and it stays";

  EXPECT_FALSE(WriteAt(*backend, old, 0, first)) << "a handle from before stays dead";
  const Handle h = backend->OpenDisk(PathOf("calc"));
  ASSERT_NE(kInvalidHandle, h);
  AlignedBytes back(2 * 16384);
  ASSERT_TRUE(ReadAt(*backend, h, 0x40000, back));
  auto expected = first.vector();
  const auto tail = second.vector();
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(expected, back.vector());
  backend->Close(h);
  backend->Close(old);
  EXPECT_NE(std::string::npos,
            test::ReadTextFileOrEmpty(files.journal).find(R"({"event":"fault","kind":"return"})"));
}

TEST_F(DirectoryBackendTest, AppearAfterPollsAndBadFaultFiles) {
  PlugOptions options;
  options.faults.appearAfterPolls = 2;
  Plug("late", options);
  EXPECT_TRUE(List(*backend).empty());
  EXPECT_EQ("appear-after-polls=1\n", Faults("late"));
  EXPECT_EQ(kInvalidHandle, backend->OpenDisk(PathOf("late")));
  EXPECT_TRUE(List(*backend).empty());
  EXPECT_EQ(1u, List(*backend).size());

  Plug("broken");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(FilesOf(dir.str(), "broken").faults, "explode=1\n", &error));
  EXPECT_EQ(2u, List(*backend).size());
  EXPECT_EQ(kInvalidHandle, backend->OpenDisk(PathOf("broken")));
  EXPECT_NE(std::string::npos, backend->LastErrorText().find("explode"));
}

}  // namespace
}  // namespace norza::emu
