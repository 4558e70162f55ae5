// The calculator core: command replies, CMD_DATA landing, faults and the
// journal's lines.
#include <gtest/gtest.h>

#include <algorithm>

#include "emu_test_util.h"
#include "emulator.h"

namespace norza::emu {
namespace {

using test::PatternBytes;
using Block = std::array<uint8_t, kBlockSize>;

uint32_t Code(const Block& reply) { return LoadLe32(&reply[12]); }

struct Rig {
  explicit Rig(Faults faults = {}, int64_t size = 1 << 20)
      : calculator(std::make_unique<MemoryStorage>(size), journal, faults,
                   Calculator::Hooks{[this](const Faults& f) { saved.push_back(f); }, {}}) {}

  bool Write(int64_t offset, const std::vector<uint8_t>& bytes, Calculator::Session* s = nullptr) {
    return calculator.Write(s ? *s : *session, offset, bytes.data(), bytes.size());
  }
  Block Transact(uint32_t code, uint32_t parameter, const uint8_t* payload = nullptr,
                 std::size_t n = 0) {
    const Block block = MakeCommandBlock(code, parameter, payload, n);
    EXPECT_TRUE(calculator.Write(*session, kCommandWindowOffset, block.data(), block.size()));
    Block reply{};
    EXPECT_TRUE(calculator.Read(*session, kCommandWindowOffset, reply.data(), reply.size()));
    return reply;
  }
  std::vector<uint8_t> Peek(int64_t offset, std::size_t n) {
    std::vector<uint8_t> bytes(n);
    EXPECT_TRUE(calculator.Peek(offset, bytes.data(), n));
    return bytes;
  }
  int FaultsFired(const std::string& kind) {
    const auto events = journal->Events();
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const JournalEvent& e) {
      return e.event == "fault" && e.name == kind;
    }));
  }
  // The host's command path: 256-byte blocks, parameter = low 16 bits of the
  // image offset << 16 | length.
  void SendData(const std::vector<uint8_t>& data) {
    for (std::size_t done = 0; done < data.size();) {
      const auto n = static_cast<uint32_t>(std::min<std::size_t>(kMaxPayload, data.size() - done));
      ASSERT_EQ(0x8000BEC6u,
                Code(Transact(kCmdData, static_cast<uint32_t>(done << 16) | n, &data[done], n)));
      done += n;
    }
  }

  std::vector<Faults> saved;
  std::shared_ptr<MemoryJournal> journal = std::make_shared<MemoryJournal>();
  Calculator calculator;
  std::unique_ptr<Calculator::Session> session = calculator.Open();
};

TEST(EmulatorCommands, ReplyIsTheBlockWithTheAcceptedCode) {
  Rig rig;
  const Block block = MakeCommandBlock(kCmdProgress, 42);
  const std::vector<uint8_t> head = {0xAA, 0x55, 0x55, 0xAA, 0x42, 0x58, 0x43, 0x44, 0x00, 0x02,
                                     0x00, 0x00, 0xDC, 0xBE, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00};
  ASSERT_TRUE(std::equal(head.begin(), head.end(), block.begin()));
  ASSERT_TRUE(std::all_of(block.begin() + 20, block.end(), [](uint8_t b) { return b == 0; }));

  Block expected = block;
  expected[15] = 0x80;  // DC BE 00 80
  EXPECT_EQ(expected, rig.Transact(kCmdProgress, 42));
  EXPECT_EQ(0x1234u, Code(rig.Transact(0x1234, 9))) << "an unknown code is refused: no bit 31";
}

TEST(EmulatorCommands, BlocksAreNotDataAndRepliesAreReadOncePerHandle) {
  Rig rig;
  const auto disk = PatternBytes(kWindowReadAfter, 7);
  ASSERT_TRUE(rig.Write(kCommandWindowOffset, disk));
  const Block block = MakeCommandBlock(kCmdCheckSize, 0);
  ASSERT_TRUE(rig.calculator.Write(*rig.session, kCommandWindowOffset, block.data(), block.size()));
  EXPECT_EQ(disk, rig.Peek(kCommandWindowOffset, disk.size())) << "the block was not stored";

  // Another handle sees the disk; the asking handle's window read carries
  // the reply in its first sector; after that the disk shows again.
  auto other = rig.calculator.Open();
  std::vector<uint8_t> seen(kBlockSize);
  ASSERT_TRUE(rig.calculator.Read(*other, kCommandWindowOffset, seen.data(), seen.size()));
  EXPECT_TRUE(std::equal(seen.begin(), seen.end(), disk.begin()));
  std::vector<uint8_t> window(kWindowReadAfter);
  ASSERT_TRUE(
      rig.calculator.Read(*rig.session, kCommandWindowOffset, window.data(), window.size()));
  EXPECT_EQ(0x8000BEC7u, LoadLe32(&window[12]));
  EXPECT_TRUE(std::equal(window.begin() + kBlockSize, window.end(), disk.begin() + kBlockSize));
  ASSERT_TRUE(
      rig.calculator.Read(*rig.session, kCommandWindowOffset, window.data(), window.size()));
  EXPECT_EQ(disk, window);
  EXPECT_EQ("window-read", rig.journal->Events().back().event);
  rig.calculator.Close(std::move(other));
}

TEST(EmulatorData, LandsAtTheSeekTargetAcrossThe16BitWrapAndEchoesTheSize) {
  Rig rig;
  rig.session->NoteSeek(0x20000);
  rig.session->NoteSeek(kCommandWindowOffset);  // a transaction's own seeks do not count
  const auto data = PatternBytes(70000, 11);
  rig.SendData(data);
  EXPECT_EQ(data, rig.Peek(0x20000, data.size()));
  const auto events = rig.journal->Events();
  const auto last = std::find_if(events.rbegin(), events.rend(),
                                 [](const JournalEvent& e) { return e.code == kCmdData; });
  ASSERT_NE(events.rend(), last);
  EXPECT_EQ(0x20000 + 70000 - 70000 % 256, last->offset) << "the journal says where data landed";
  Block reply = rig.Transact(kCmdCheckSize, 70000);
  EXPECT_EQ(0x8000BEC7u, Code(reply));
  EXPECT_EQ(70000u, LoadLe32(&reply[16]));

  // A new run starts at the new target; a short run fails the size check.
  rig.session->NoteSeek(0x60000);
  const auto second = PatternBytes(1000, 2);
  rig.SendData(second);
  EXPECT_EQ(second, rig.Peek(0x60000, second.size()));
  reply = rig.Transact(kCmdCheckSize, 1024);
  EXPECT_EQ(0x8000BEC7u, Code(reply));
  EXPECT_NE(1024u, LoadLe32(&reply[16]));
}

TEST(EmulatorData, BadLengthsAndBlocksPastTheEndAreRefused) {
  Rig rig(Faults{}, 0x30000);
  rig.session->NoteSeek(0x30000 - 256);
  const auto payload = PatternBytes(256, 4);
  EXPECT_EQ(kCmdData, Code(rig.Transact(kCmdData, 0, payload.data(), 256)));    // length 0
  EXPECT_EQ(kCmdData, Code(rig.Transact(kCmdData, 257, payload.data(), 256)));  // too long
  EXPECT_EQ(0x8000BEC6u, Code(rig.Transact(kCmdData, 256, payload.data(), 256)));
  EXPECT_EQ(kCmdData, Code(rig.Transact(kCmdData, (256u << 16) | 256, payload.data(), 256)));
}

TEST(EmulatorFaults, FailWritesAndRejectCommandAreConsumed) {
  Faults faults;
  faults.failWrites = 2;
  faults.rejectCommand = kCmdProgress;
  faults.rejectCount = 1;
  Rig rig(faults);
  const std::vector<uint8_t> bytes(512, 1);
  EXPECT_FALSE(rig.Write(0, bytes));
  EXPECT_EQ(kCmdProgress, Code(rig.Transact(kCmdProgress, 0))) << "refused once";
  EXPECT_EQ(0x8000BEDCu, Code(rig.Transact(kCmdProgress, 0)));
  EXPECT_FALSE(rig.Write(0, bytes)) << "commands do not use up fail-writes";
  EXPECT_TRUE(rig.Write(0, bytes));
  ASSERT_EQ(3u, rig.saved.size());
  EXPECT_EQ("fail-writes=1\nreject-command=0xBEDC\nreject-count=1\n", FormatFaults(rig.saved[0]));
  EXPECT_EQ("fail-writes=1\n", FormatFaults(rig.saved[1]));
  EXPECT_TRUE(rig.saved[2].Empty());
  EXPECT_EQ(2, rig.FaultsFired("fail-write"));

  Faults forever;
  forever.rejectCommand = kCmdCheckSize;
  Rig always(forever);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kCmdCheckSize, Code(always.Transact(kCmdCheckSize, 0)));
  EXPECT_EQ(forever, always.calculator.CurrentFaults());
}

TEST(EmulatorFaults, VanishAfterWritesPullsTheCable) {
  Faults faults;
  faults.vanishAfterWrites = 2;
  Rig rig(faults);
  const std::vector<uint8_t> bytes(512, 9);
  EXPECT_TRUE(rig.Write(0, bytes));
  EXPECT_FALSE(rig.calculator.Gone());
  EXPECT_TRUE(rig.Write(512, bytes));
  EXPECT_TRUE(rig.calculator.Gone());
  std::string error;
  EXPECT_FALSE(rig.calculator.Write(*rig.session, 1024, bytes.data(), bytes.size(), &error));
  EXPECT_NE(std::string::npos, error.find("not connected"));
  EXPECT_FALSE(rig.calculator.Flush(*rig.session));
  EXPECT_EQ(1, rig.FaultsFired("vanish"));
  EXPECT_TRUE(rig.calculator.CurrentFaults().Empty());
  rig.calculator.Replug();
  EXPECT_TRUE(rig.Write(1024, bytes));

  faults.vanishAfterWrites = 0;
  Rig first(faults);
  EXPECT_FALSE(first.Write(0, bytes));
  EXPECT_TRUE(first.calculator.Gone());
  EXPECT_EQ(std::vector<uint8_t>(512, 0), first.Peek(0, 512)) << "the write never landed";
}

TEST(EmulatorFaults, TextRoundTripAndErrors) {
  Faults faults;
  std::string error;
  ASSERT_TRUE(
      ParseFaults("# c\nfail-writes=3\nreject-command=0xbec7\n\nvanish-after-writes = 0\n"
                  "appear-after-polls=12 # c\nreturn-after-polls=0x10\n",
                  &faults, &error))
      << error;
  EXPECT_EQ(3u, faults.failWrites);
  EXPECT_EQ(kCmdCheckSize, faults.rejectCommand.value_or(0));
  EXPECT_EQ(0u, faults.vanishAfterWrites.value_or(99));
  EXPECT_EQ(12u, faults.appearAfterPolls);
  EXPECT_EQ(16u, faults.returnAfterPolls.value_or(0));
  Faults again;
  ASSERT_TRUE(ParseFaults(FormatFaults(faults), &again, &error));
  EXPECT_EQ(faults, again);
  for (const char* bad :
       {"fail-writes=x\n", "melt=1\n", "fail-writes\n", "fail-writes=0x100000000\n"}) {
    EXPECT_FALSE(ParseFaults(bad, &again, &error)) << bad;
  }
}

TEST(EmulatorJournal, LinesAreShortJsonThatParsesBack) {
  EXPECT_EQ(R"({"event":"command","code":48860,"name":"CMD_PROGRESS","parameter":42})",
            ToJsonLine(JournalEvent::Command(kCmdProgress, 42)));
  EXPECT_EQ(R"({"event":"write","offset":5242880,"length":16384})",
            ToJsonLine(JournalEvent::Io("write", 5242880, 16384)));
  EXPECT_EQ(R"({"event":"window-read","length":15360})",
            ToJsonLine(JournalEvent::Io("window-read", kCommandWindowOffset, 15360)));
  EXPECT_EQ(R"({"event":"fault","kind":"fail-write"})",
            ToJsonLine(JournalEvent::Fault("fail-write")));

  for (const JournalEvent& sample :
       {JournalEvent::Command(kCmdData, 0x01000100, 0x500100), JournalEvent::Simple("flush"),
        JournalEvent::Io("window-read", 87040, 15872),
        JournalEvent::Fault("reject-command", kCmdProgress),
        JournalEvent::Error("write", 4096, 512)}) {
    JournalEvent parsed;
    ASSERT_TRUE(ParseJsonLine(ToJsonLine(sample), &parsed)) << ToJsonLine(sample);
    EXPECT_EQ(ToJsonLine(sample), ToJsonLine(parsed));
  }
  JournalEvent e;
  EXPECT_TRUE(ParseJsonLine(R"( {"event" : "x", "flag": true, "n": -3, "s":"a\"\u0041"} )", &e));
  for (const char* bad : {"", "{", R"({"event":"x")", R"({"event":"x"} more)", R"({"n":1})",
                          R"({"event":"x","n":1.5})", R"({"event":x})"}) {
    EXPECT_FALSE(ParseJsonLine(bad, &e)) << bad;
  }
}

}  // namespace
}  // namespace norza::emu
