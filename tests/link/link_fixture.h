// Common set-up of the link tests: the fake backend installed, pauses
// recorded and not slept, the link's process-wide state reset.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery.h"
#include "fake_backend.h"
#include "ledger.h"
#include "pacing.h"
#include "platform.h"
#include "protocol.h"
#include "transfer.h"

namespace norza::linktest {

inline std::wstring CalculatorPath(int serial) {
  return platform::BuildUsbDiskInterfacePath("ZK", "Norza update", "1.00",
                                             "SN" + std::to_string(serial));
}

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
    link::Ledger().Clear();
  }
  void TearDown() override {
    link::SetThreadStarterForTesting(nullptr);
    platform::SetBackendForTesting(nullptr);
    SetPauseObserver(nullptr);
  }

  // Opens disk 0 of the fake by hand, as OpenCalculatorDisks would.
  platform::Handle OpenFirstDisk() { return fake.OpenDisk(fake.Disk(0).path); }

  FakeBackend fake;
};

}  // namespace norza::linktest
