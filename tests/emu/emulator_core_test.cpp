// The calculator core: command replies, CMD_DATA landing, bounds, faults and
// the journal's lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "emu_test_util.h"
#include "emulator.h"

namespace norza::emu {
namespace {

using test::PatternBytes;

constexpr int64_t kDiskSize = 1 << 20;

struct Rig {
  explicit Rig(Faults faults = {}, int64_t size = kDiskSize)
      : journal(std::make_shared<MemoryJournal>()),
        calculator(std::make_unique<MemoryStorage>(size), journal, faults,
                   Calculator::Hooks{[this](const Faults& f) { saved.push_back(f); },
                                     [this] { ++vanished; }}),
        session(calculator.Open()) {}

  std::array<uint8_t, kBlockSize> Transact(uint32_t code, uint32_t parameter,
                                           const uint8_t* payload = nullptr, std::size_t n = 0) {
    const auto block = MakeCommandBlock(code, parameter, payload, n);
    EXPECT_TRUE(calculator.Write(*session, kCommandWindowOffset, block.data(), block.size()));
    std::array<uint8_t, kBlockSize> reply{};
    EXPECT_TRUE(calculator.Read(*session, kCommandWindowOffset, reply.data(), reply.size()));
    return reply;
  }

  std::vector<uint8_t> Peek(int64_t offset, std::size_t n) {
    std::vector<uint8_t> bytes(n);
    EXPECT_TRUE(calculator.Peek(offset, bytes.data(), n));
    return bytes;
  }

  std::vector<std::string> EventNames() {
    std::vector<std::string> names;
    for (const auto& e : journal->Events()) names.push_back(e.event + (e.name.empty() ? "" : ":" + e.name));
    return names;
  }

  std::vector<Faults> saved;
  int vanished = 0;
  std::shared_ptr<MemoryJournal> journal;
  Calculator calculator;
  std::unique_ptr<Calculator::Session> session;
};

TEST(EmulatorCommands, ProgressReplyIsTheBlockWithTheAcceptedCode) {
  Rig rig;
  const auto block = MakeCommandBlock(kCmdProgress, 42);
  const uint8_t head[20] = {0xAA, 0x55, 0x55, 0xAA, 0x42, 0x58, 0x43, 0x44, 0x00, 0x02,
                            0x00, 0x00, 0xDC, 0xBE, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00};
  ASSERT_EQ(0, std::memcmp(block.data(), head, sizeof head));
  ASSERT_TRUE(std::all_of(block.begin() + 20, block.end(), [](uint8_t b) { return b == 0; }));

  const auto reply = rig.Transact(kCmdProgress, 42);
  auto expected = block;
  expected[12] = 0xDC, expected[13] = 0xBE, expected[14] = 0x00, expected[15] = 0x80;
  EXPECT_EQ(expected, reply);
  EXPECT_FALSE(rig.session->HasPendingReply());
}

TEST(EmulatorCommands, CommandBlocksAreNotStoredAndRepliesAreReadOnce) {
  Rig rig;
  const auto data = PatternBytes(kBlockSize, 7);
  ASSERT_TRUE(rig.calculator.Write(*rig.session, kCommandWindowOffset, data.data(), data.size()));

  const auto reply = rig.Transact(kCmdProgress, 5);
  EXPECT_EQ(0x8000BEDCu, LoadLe32(&reply[12]));
  EXPECT_EQ(data, rig.Peek(kCommandWindowOffset, kBlockSize));

  // The reply is consumed: the next read sees the disk's bytes again.
  std::vector<uint8_t> again(kBlockSize);
  ASSERT_TRUE(rig.calculator.Read(*rig.session, kCommandWindowOffset, again.data(), again.size()));
  EXPECT_EQ(data, again);
}

TEST(EmulatorCommands, RepliesBelongToTheSessionThatAsked) {
  Rig rig;
  auto other = rig.calculator.Open();
  const auto block = MakeCommandBlock(kCmdProgress, 1);
  ASSERT_TRUE(rig.calculator.Write(*rig.session, kCommandWindowOffset, block.data(), block.size()));
  std::vector<uint8_t> seen(kBlockSize, 0xEE);
  ASSERT_TRUE(rig.calculator.Read(*other, kCommandWindowOffset, seen.data(), seen.size()));
  EXPECT_EQ(std::vector<uint8_t>(kBlockSize, 0), seen);
  EXPECT_TRUE(rig.session->HasPendingReply());
  rig.calculator.Close(std::move(other));
}

TEST(EmulatorCommands, WindowReadCarriesThePendingReplyThenDiskBytes) {
  Rig rig;
  const auto disk = PatternBytes(kWindowReadAfter, 3);
  ASSERT_TRUE(rig.calculator.Write(*rig.session, kCommandWindowOffset, disk.data(), disk.size()));
  const auto block = MakeCommandBlock(kCmdCheckSize, 0);
  ASSERT_TRUE(rig.calculator.Write(*rig.session, kCommandWindowOffset, block.data(), block.size()));

  std::vector<uint8_t> window(kWindowReadAfter);
  ASSERT_TRUE(rig.calculator.Read(*rig.session, kCommandWindowOffset, window.data(), window.size()));
  EXPECT_EQ(0x8000BEC7u, LoadLe32(&window[12]));
  EXPECT_TRUE(std::equal(window.begin() + kBlockSize, window.end(), disk.begin() + kBlockSize));

  const auto events = rig.journal->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ("window-read", events.back().event);
  EXPECT_EQ(kWindowReadAfter, events.back().length);
}

TEST(EmulatorCommands, UnknownCodesAndFinish) {
  Rig rig;
  auto reply = rig.Transact(0x1234, 9);
  EXPECT_EQ(0x1234u, LoadLe32(&reply[12])) << "an unknown command is not accepted";
  EXPECT_FALSE(rig.calculator.FinishReceived());
  const auto finish = MakeCommandBlock(kCmdFinish, 0);
  ASSERT_TRUE(rig.calculator.Write(*rig.session, kCommandWindowOffset, finish.data(), finish.size()));
  EXPECT_TRUE(rig.calculator.FinishReceived());
}

// Sends data the way the host's command path does: 256-byte blocks whose
// parameter keeps only the low 16 bits of the image offset.
void SendData(Rig& rig, const std::vector<uint8_t>& data, uint64_t imageOffset = 0) {
  for (std::size_t done = 0; done < data.size();) {
    const auto n = static_cast<uint32_t>(std::min<std::size_t>(kMaxPayload, data.size() - done));
    const uint32_t parameter = static_cast<uint32_t>((imageOffset + done) << 16) | n;
    const auto reply = rig.Transact(kCmdData, parameter, data.data() + done, n);
    ASSERT_EQ(0x8000BEC6u, LoadLe32(&reply[12])) << "block at " << done;
    done += n;
  }
}

TEST(EmulatorData, LandsAtTheSeekTargetAcrossThe16BitWrap) {
  Rig rig;
  const int64_t base = 0x20000;
  rig.session->NoteSeek(base);
  rig.session->NoteSeek(kCommandWindowOffset);  // the transaction's own seeks do not move the base
  const auto data = PatternBytes(70000, 11);
  SendData(rig, data);
  EXPECT_EQ(data, rig.Peek(base, data.size()));
  EXPECT_EQ(std::vector<uint8_t>(kBlockSize, 0), rig.Peek(kCommandWindowOffset, kBlockSize));

  const auto events = rig.journal->Events();
  const auto last = std::find_if(events.rbegin(), events.rend(),
                                 [](const JournalEvent& e) { return e.code == kCmdData; });
  ASSERT_NE(last, events.rend());
  EXPECT_EQ(base + 70000 - (70000 % 256), last->offset);

  auto reply = rig.Transact(kCmdCheckSize, 70000);
  EXPECT_EQ(0x8000BEC7u, LoadLe32(&reply[12]));
  EXPECT_EQ(70000u, LoadLe32(&reply[16]));
}

TEST(EmulatorData, CheckSizeMismatchAndANewRunAfterIt) {
  Rig rig;
  rig.session->NoteSeek(0x40000);
  SendData(rig, PatternBytes(1000, 1));
  auto reply = rig.Transact(kCmdCheckSize, 1024);
  EXPECT_EQ(0x8000BEC7u, LoadLe32(&reply[12]));
  EXPECT_NE(1024u, LoadLe32(&reply[16]));

  // The next image starts over at the new seek target.
  rig.session->NoteSeek(0x60000);
  const auto second = PatternBytes(512, 2);
  SendData(rig, second);
  EXPECT_EQ(second, rig.Peek(0x60000, second.size()));
  reply = rig.Transact(kCmdCheckSize, 512);
  EXPECT_EQ(512u, LoadLe32(&reply[16]));
}

TEST(EmulatorData, BadLengthsAndBlocksPastTheEndAreRefused) {
  Rig rig(Faults{}, 0x30000);
  rig.session->NoteSeek(0x30000 - 256);
  const auto payload = PatternBytes(256, 4);
  EXPECT_EQ(kCmdData, LoadLe32(&rig.Transact(kCmdData, 0, payload.data(), 256)[12]));      // length 0
  EXPECT_EQ(kCmdData, LoadLe32(&rig.Transact(kCmdData, 257, payload.data(), 256)[12]));    // too long
  EXPECT_EQ(0x8000BEC6u, LoadLe32(&rig.Transact(kCmdData, 256, payload.data(), 256)[12])); // fits
  EXPECT_EQ(kCmdData, LoadLe32(&rig.Transact(kCmdData, (256u << 16) | 256, payload.data(), 256)[12]));
}

TEST(EmulatorDisk, TransfersPastTheEndFail) {
  Rig rig(Faults{}, 4096);
  std::vector<uint8_t> bytes(1024, 0x5A);
  std::string error;
  EXPECT_TRUE(rig.calculator.Write(*rig.session, 3072, bytes.data(), bytes.size()));
  EXPECT_FALSE(rig.calculator.Write(*rig.session, 3584, bytes.data(), bytes.size(), &error));
  EXPECT_NE(std::string::npos, error.find("past the end"));
  EXPECT_FALSE(rig.calculator.Read(*rig.session, 3584, bytes.data(), bytes.size()));
  EXPECT_FALSE(rig.calculator.Write(*rig.session, -512, bytes.data(), 512));
  EXPECT_EQ(std::vector<uint8_t>(512, 0x5A), rig.Peek(3584, 512)) << "a failed write changes nothing";
  const auto events = rig.journal->Events();
  EXPECT_EQ(3, std::count_if(events.begin(), events.end(),
                             [](const JournalEvent& e) { return e.event == "error"; }));
}

TEST(EmulatorFaults, FailWritesSkipsCommandsAndIsConsumed) {
  Faults faults;
  faults.failWrites = 2;
  Rig rig(faults);
  std::vector<uint8_t> bytes(512, 1);
  EXPECT_FALSE(rig.calculator.Write(*rig.session, 0, bytes.data(), bytes.size()));
  EXPECT_EQ(0x8000BEDCu, LoadLe32(&rig.Transact(kCmdProgress, 0)[12]));
  EXPECT_FALSE(rig.calculator.Write(*rig.session, 0, bytes.data(), bytes.size()));
  EXPECT_TRUE(rig.calculator.Write(*rig.session, 0, bytes.data(), bytes.size()));
  ASSERT_EQ(2u, rig.saved.size());
  EXPECT_EQ(1u, rig.saved[0].failWrites);
  EXPECT_TRUE(rig.saved[1].Empty());
  const auto names = rig.EventNames();
  EXPECT_EQ(2, std::count(names.begin(), names.end(), "fault:fail-write"));
}

TEST(EmulatorFaults, RejectCommandCountedAndForever) {
  Faults counted;
  counted.rejectCommand = kCmdProgress;
  counted.rejectCount = 2;
  Rig rig(counted);
  EXPECT_EQ(kCmdProgress, LoadLe32(&rig.Transact(kCmdProgress, 1)[12]));
  EXPECT_EQ(kCmdProgress, LoadLe32(&rig.Transact(kCmdProgress, 1)[12]));
  EXPECT_EQ(0x8000BEDCu, LoadLe32(&rig.Transact(kCmdProgress, 1)[12]));
  ASSERT_FALSE(rig.saved.empty());
  EXPECT_TRUE(rig.saved.back().Empty());

  Faults forever;
  forever.rejectCommand = kCmdCheckSize;
  Rig always(forever);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kCmdCheckSize, LoadLe32(&always.Transact(kCmdCheckSize, 0)[12]));
  EXPECT_EQ(0x8000BEDCu, LoadLe32(&always.Transact(kCmdProgress, 0)[12]));
  EXPECT_EQ(forever, always.calculator.CurrentFaults());
}

TEST(EmulatorFaults, VanishAfterWritesPullsTheCable) {
  Faults faults;
  faults.vanishAfterWrites = 2;
  Rig rig(faults);
  std::vector<uint8_t> bytes(512, 9);
  EXPECT_TRUE(rig.calculator.Write(*rig.session, 0, bytes.data(), bytes.size()));
  EXPECT_FALSE(rig.calculator.Gone());
  EXPECT_TRUE(rig.calculator.Write(*rig.session, 512, bytes.data(), bytes.size()));
  EXPECT_TRUE(rig.calculator.Gone());
  EXPECT_EQ(1, rig.vanished);
  std::string error;
  EXPECT_FALSE(rig.calculator.Write(*rig.session, 1024, bytes.data(), bytes.size(), &error));
  EXPECT_FALSE(rig.calculator.Read(*rig.session, 0, bytes.data(), bytes.size()));
  EXPECT_FALSE(rig.calculator.Flush(*rig.session));
  EXPECT_NE(std::string::npos, error.find("not connected"));
  EXPECT_FALSE(rig.calculator.CurrentFaults().vanishAfterWrites.has_value());

  rig.calculator.Replug();
  EXPECT_TRUE(rig.calculator.Read(*rig.session, 512, bytes.data(), bytes.size()));
  EXPECT_EQ(std::vector<uint8_t>(512, 9), bytes);

  Faults atOnce;
  atOnce.vanishAfterWrites = 0;
  Rig first(atOnce);
  EXPECT_TRUE(first.calculator.Read(*first.session, 0, bytes.data(), bytes.size()));
  EXPECT_FALSE(first.calculator.Write(*first.session, 0, bytes.data(), bytes.size()));
  EXPECT_TRUE(first.calculator.Gone());
  EXPECT_EQ(std::vector<uint8_t>(512, 0), first.Peek(0, 512)) << "the write never landed";
}

TEST(EmulatorFaults, AppearAfterPollsCountsPasses) {
  Faults faults;
  faults.appearAfterPolls = 2;
  Rig rig(faults);
  EXPECT_TRUE(rig.calculator.Hidden());
  EXPECT_TRUE(rig.calculator.ConsumeHiddenPoll());
  EXPECT_TRUE(rig.calculator.ConsumeHiddenPoll());
  EXPECT_FALSE(rig.calculator.ConsumeHiddenPoll());
  EXPECT_FALSE(rig.calculator.Hidden());
  EXPECT_EQ(2u, rig.saved.size());
}

TEST(EmulatorFaults, TextRoundTripAndErrors) {
  Faults faults;
  std::string error;
  ASSERT_TRUE(ParseFaults("# test\nfail-writes=3\nreject-command=0xbec7\n\nvanish-after-writes = 0\n"
                          "appear-after-polls=12 # comment\n",
                          &faults, &error))
      << error;
  EXPECT_EQ(3u, faults.failWrites);
  EXPECT_EQ(kCmdCheckSize, faults.rejectCommand.value_or(0));
  EXPECT_EQ(0u, faults.vanishAfterWrites.value_or(99));
  EXPECT_EQ(12u, faults.appearAfterPolls);
  Faults again;
  ASSERT_TRUE(ParseFaults(FormatFaults(faults), &again, &error));
  EXPECT_EQ(faults, again);

  EXPECT_FALSE(ParseFaults("fail-writes=x\n", &again, &error));
  EXPECT_FALSE(ParseFaults("melt=1\n", &again, &error));
  EXPECT_NE(std::string::npos, error.find("melt"));
  EXPECT_FALSE(ParseFaults("fail-writes\n", &again, &error));
  EXPECT_FALSE(ParseFaults("fail-writes=0x100000000\n", &again, &error));
  EXPECT_EQ("", FormatFaults(Faults{}));
}

TEST(EmulatorJournal, LinesAreShortJsonThatParsesBack) {
  EXPECT_EQ(R"({"event":"command","code":48860,"name":"CMD_PROGRESS","parameter":42})",
            ToJsonLine(JournalEvent::Command(kCmdProgress, 42)));
  EXPECT_EQ(R"({"event":"write","offset":5242880,"length":16384})",
            ToJsonLine(JournalEvent::Io("write", 5242880, 16384)));
  EXPECT_EQ(R"({"event":"window-read","length":15360})",
            ToJsonLine(JournalEvent::Io("window-read", kCommandWindowOffset, 15360)));
  EXPECT_EQ(R"({"event":"fault","kind":"fail-write"})", ToJsonLine(JournalEvent::Fault("fail-write")));

  const std::vector<JournalEvent> samples = {
      JournalEvent::Command(kCmdData, 0x01000100, 0x500100), JournalEvent::Command(kCmdFinish, 0),
      JournalEvent::Io("read", 87040, 512),  JournalEvent::Io("window-read", 87040, 15872),
      JournalEvent::Simple("flush"),          JournalEvent::Simple("open"),
      JournalEvent::Fault("reject-command", kCmdProgress), JournalEvent::Error("write", 4096, 512)};
  for (const auto& sample : samples) {
    const std::string line = ToJsonLine(sample);
    EXPECT_LT(line.size(), 100u);
    JournalEvent parsed;
    ASSERT_TRUE(ParseJsonLine(line, &parsed)) << line;
    EXPECT_EQ(line, ToJsonLine(parsed));
  }

  JournalEvent e;
  EXPECT_TRUE(ParseJsonLine(R"( {"event" : "x", "flag": true, "n": -3, "s":"a\"\u0041"} )", &e));
  EXPECT_EQ("x", e.event);
  for (const char* bad : {"", "{", R"({"event":"x")", R"({"event":"x"} trailing)", R"({"n":1})",
                          R"({"event":"x","n":1.5})", R"({"event":x})", R"(["event"])"}) {
    EXPECT_FALSE(ParseJsonLine(bad, &e)) << bad;
  }
}

TEST(EmulatorJournal, RecordsWhatTheHostDid) {
  Rig rig;
  std::vector<uint8_t> bytes(1024, 1);
  rig.calculator.Write(*rig.session, 4096, bytes.data(), bytes.size());
  rig.Transact(kCmdProgress, 50);
  rig.calculator.Flush(*rig.session);
  rig.calculator.Close(std::move(rig.session));
  EXPECT_EQ((std::vector<std::string>{"open", "write", "command:CMD_PROGRESS", "read", "flush", "close"}),
            rig.EventNames());
}

}  // namespace
}  // namespace norza::emu
