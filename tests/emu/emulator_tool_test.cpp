// norza-emu: the journal digest, and the tool run as a process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "emu_test_util.h"
#include "emulator.h"
#include "emulator_dir.h"
#include "journal_summary.h"

namespace norza::emu {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(JournalSummary, CountsMergesAndCollapses) {
  std::ostringstream journal;
  auto add = [&](const JournalEvent& e) { journal << ToJsonLine(e) << '\n'; };
  add(JournalEvent::Simple("open"));
  add(JournalEvent::Io("window-read", kCommandWindowOffset, kWindowReadBefore));
  for (uint32_t percent : {0u, 0u, 50u}) add(JournalEvent::Command(kCmdProgress, percent));
  add(JournalEvent::Io("write", 0x500000, 16384));
  add(JournalEvent::Io("write", 0x504000, 16384));
  add(JournalEvent::Io("write", 0x100000, 512));
  add(JournalEvent::Command(kCmdData, 256, 0x200000));
  add(JournalEvent::Command(kCmdData, (256u << 16) | 100, 0x200100));
  add(JournalEvent::Fault("fail-write"));
  add(JournalEvent::Simple("flush"));
  add(JournalEvent::Command(kCmdProgress, 100));
  add(JournalEvent::Io("window-read", kCommandWindowOffset, kWindowReadAfter));
  add(JournalEvent::Simple("close"));
  journal << "not json\n";
  std::istringstream in(journal.str());
  const JournalSummary s = SummarizeJournal(in);

  EXPECT_EQ(15, s.events);
  EXPECT_EQ(1, s.badLines);
  EXPECT_EQ(1, s.opens);
  EXPECT_EQ(1, s.closes);
  EXPECT_EQ(4, s.commands.at("CMD_PROGRESS"));
  EXPECT_EQ(2, s.commands.at("CMD_DATA"));
  EXPECT_EQ((std::vector<uint32_t>{0, 50, 100}), s.progress);
  EXPECT_EQ(32768 + 512, s.bytesWritten);
  EXPECT_EQ(356, s.commandDataBytes);
  const std::vector<std::pair<int64_t, int64_t>> regions = {
      {0x100000, 512}, {0x200000, 356}, {0x500000, 32768}};
  EXPECT_EQ(regions, s.regions);
  EXPECT_EQ(1, s.windowReads.at(kWindowReadBefore));
  EXPECT_EQ(1, s.windowReads.at(kWindowReadAfter));
  EXPECT_EQ(1, s.faults.at("fail-write"));
  EXPECT_FALSE(s.finishReceived);

  const std::string text = FormatSummary("calc", s);
  EXPECT_NE(std::string::npos, text.find("progress seen: 0 50 100\n"));
  JournalSummary twoRuns;
  for (uint32_t p = 0; p <= 100; p += 5) twoRuns.progress.push_back(p);
  twoRuns.progress.push_back(0);
  twoRuns.progress.push_back(100);
  EXPECT_NE(std::string::npos,
            FormatSummary("calc", twoRuns)
                .find("progress seen: 0 5 10 15 20 ... 80 85 90 95 100 (21 values) | 0 100\n"));
  EXPECT_NE(std::string::npos, text.find("finish received: no"));
}

// Runs norza-emu with the arguments; its exit code, output in *out.
int RunTool(const std::string& arguments, std::string* out, const TempDir& scratch) {
  const std::string capture = scratch.file("tool-output.txt");
  const std::string command =
      std::string("\"") + NORZA_EMU_BIN + "\" " + arguments + " >\"" + capture + "\" 2>&1";
  const int status = std::system(command.c_str());
  if (out != nullptr) *out = test::ReadTextFileOrEmpty(capture);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NorzaEmuTool, PlugVerifyJournalUnplug) {
  TempDir dir;
  const std::string d = "\"" + dir.str() + "\"";
  std::string out;
  ASSERT_EQ(0, RunTool("plug " + d + " one", &out, dir)) << out;
  const std::string disk = FilesOf(dir.str(), "one").disk;
  EXPECT_EQ(64u << 20, fs::file_size(fs::u8path(disk)));
  ASSERT_EQ(0, RunTool("plug " + d +
                           " two --size 2M --fail-writes 2 --reject-command 0xBEDC "
                           "--vanish-after-writes 9 --return-after-polls 4 --appear-after-polls 1 "
                           "--vendor Acme --product Stick",
                       &out, dir))
      << out;
  EXPECT_EQ(2u << 20, fs::file_size(fs::u8path(FilesOf(dir.str(), "two").disk)));
  EXPECT_EQ(
      "fail-writes=2\nreject-command=0xBEDC\nvanish-after-writes=9\nappear-after-polls=1\n"
      "return-after-polls=4\n",
      test::ReadTextFileOrEmpty(FilesOf(dir.str(), "two").faults));
  EXPECT_EQ("Acme", ReadIdentityFile(FilesOf(dir.str(), "two").identity).vendor);

  // An image written by hand at 0x100000, then checked.
  const auto image = test::PatternBytes(3000, 17);
  const std::string imagePath = dir.file("image.bin");
  test::WriteBinaryFile(imagePath, image);
  {
    std::fstream f(fs::u8path(disk), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(0x100000);
    f.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  }
  const std::string verify = "verify " + d + " one \"" + imagePath + "\" ";
  EXPECT_EQ(0, RunTool(verify + "0x100000", &out, dir)) << out;
  EXPECT_EQ(1, RunTool(verify + "1048577", &out, dir));
  EXPECT_NE(std::string::npos, out.find("first difference at disk offset 1048577")) << out;
  EXPECT_EQ(1, RunTool(verify + "0x3FFFF00", &out, dir)) << "does not fit";
  EXPECT_EQ(1, RunTool("verify " + d + " nobody \"" + imagePath + "\" 0", &out, dir));

  EXPECT_EQ(1, RunTool("journal " + d + " two", &out, dir)) << "no journal yet";
  EXPECT_EQ(0, RunTool("unplug " + d + " one", &out, dir));
  EXPECT_FALSE(fs::exists(fs::u8path(disk)));
  EXPECT_EQ(1, RunTool("unplug " + d + " one", &out, dir));
}

TEST(NorzaEmuTool, BadUsageExitsTwo) {
  TempDir dir;
  const std::string d = "\"" + dir.str() + "\"";
  EXPECT_EQ(0, RunTool("--help", nullptr, dir));
  for (const std::string& args : std::vector<std::string>{
           "", "frobnicate", "plug " + d, "plug " + d + " x --size 1000", "plug " + d + " x --size",
           "plug " + d + " x --fail-writes many", "plug " + d + " x --melt 1", "plug " + d + " a/b",
           "plug " + d + " x --reject-count 2", "unplug " + d, "journal " + d,
           "verify " + d + " x image", "verify " + d + " x image zero"}) {
    EXPECT_EQ(2, RunTool(args, nullptr, dir)) << args;
  }
  EXPECT_TRUE(fs::is_empty(dir.path()) || !fs::exists(fs::u8path(FilesOf(dir.str(), "x").disk)))
      << "bad usage plugs nothing";
}

}  // namespace
}  // namespace norza::emu
