// Common set-up of the link tests: emulated calculators held in memory as
// the backend, pauses recorded and not slept, the link's process-wide state
// reset.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "discovery.h"
#include "memory_backend.h"
#include "pacing.h"
#include "platform.h"
#include "protocol.h"
#include "recorder.h"
#include "transfer.h"

namespace norza::linktest {

// Two digits, so that the names sort (and are discovered) in serial order.
inline std::string DiskName(int serial) {
  char name[16];
  std::snprintf(name, sizeof name, "SN%02d", serial);
  return name;
}

inline std::wstring CalculatorPath(int serial) {
  return platform::BuildUsbDiskInterfacePath("ZK", "Norza update", "1.00", DiskName(serial));
}

inline constexpr int64_t kDiskSize = 1 << 20;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPaceScale(0);
    SetPauseObserver(Recorder::OnPause);
    Recorder::Reset();
    platform::SetBackendForTesting(&fake);
    link::deviceCount = 0;
    link::DeviceHandleTable.fill(platform::kInvalidHandle);
    link::filterKey = 0;
    link::progressCallback = nullptr;
    link::messageCallback = nullptr;
  }
  void TearDown() override {
    link::SetThreadStarterForTesting(nullptr);
    platform::SetBackendForTesting(nullptr);
    SetPauseObserver(nullptr);
  }

  // A 1 MiB calculator filled with 0xEE, so bytes the link did not write show.
  void AddCalculator(int serial, const emu::Faults& faults = {}) {
    fake.AddCalculator(DiskName(serial), kDiskSize, faults);
    Fill(serial, 0xEE);
  }
  void Fill(int serial, uint8_t byte) {
    const std::vector<uint8_t> bytes(kDiskSize, byte);
    ASSERT_TRUE(fake.Find(DiskName(serial))->Poke(0, bytes.data(), bytes.size()));
  }
  std::vector<uint8_t> Bytes(int serial, int64_t offset, std::size_t length) const {
    return fake.DiskBytes(DiskName(serial), offset, length);
  }

  // What the link did to a disk, one line per event: "window 15360",
  // "cmd bedc 42" (code in hex), "write 65536 16384", "write-failed", "flush".
  std::vector<std::string> Events(int serial) const {
    std::vector<std::string> out;
    for (const emu::JournalEvent& e : fake.Journal(DiskName(serial))) {
      if (e.event == "window-read") {
        out.push_back("window " + std::to_string(e.length));
      } else if (e.event == "command") {
        char code[16];
        std::snprintf(code, sizeof code, "%x", e.code);
        out.push_back(std::string("cmd ") + code + " " + std::to_string(e.parameter));
      } else if (e.event == "write") {
        out.push_back("write " + std::to_string(e.offset) + " " + std::to_string(e.length));
      } else if (e.event == "fault" && e.name == "fail-write") {
        out.push_back("write-failed");
      } else if (e.event == "flush") {
        out.push_back("flush");
      }
    }
    return out;
  }
  // The parameters of the commands the calculator received, in order.
  std::vector<uint32_t> Parameters(int serial) const {
    std::vector<uint32_t> out;
    for (const emu::JournalEvent& e : fake.Journal(DiskName(serial))) {
      if (e.event == "command") out.push_back(e.parameter);
    }
    return out;
  }
  void ClearEvents(int serial) { fake.ClearJournal(DiskName(serial)); }

  platform::Handle Open(int serial) { return fake.OpenDisk(CalculatorPath(serial)); }

  emu::MemoryBackend fake;
};

}  // namespace norza::linktest
