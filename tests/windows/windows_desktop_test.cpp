// Keeping Windows awake during an update, over a stand-in for
// SetThreadExecutionState: asked for by a thread of its own that lives as
// long as the hold, and cleared by that thread at the release.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "desktop_windows_api.h"
#include "update_desktop.h"

namespace norza::desktop {
namespace {

struct Call {
  DWORD thread;
  EXECUTION_STATE flags;
};
std::mutex g_mutex;
std::vector<Call> g_calls;

EXECUTION_STATE WINAPI RecordExecutionState(EXECUTION_STATE flags) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.push_back({::GetCurrentThreadId(), flags});
  return ES_CONTINUOUS;  // the previous state: success
}

TEST(WindowsSleepInhibitor, AThreadOfItsOwnHoldsTheSystemAwakeUntilTheRelease) {
  const auto real = desktopWindowsApi().setThreadExecutionState;
  desktopWindowsApi().setThreadExecutionState = RecordExecutionState;
  g_calls.clear();
  {
    const std::unique_ptr<SleepInhibitor> inhibitor = createSleepInhibitor();
    QString problem;
    ASSERT_TRUE(inhibitor->hold(QStringLiteral("norza-updater"), QStringLiteral("why"), &problem));
    EXPECT_TRUE(inhibitor->held());
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      ASSERT_EQ(g_calls.size(), 1u);
      EXPECT_EQ(g_calls[0].flags, static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
      EXPECT_NE(g_calls[0].thread, ::GetCurrentThreadId()) << "not the caller's thread";
    }
    inhibitor->release();
    EXPECT_FALSE(inhibitor->held());
  }
  desktopWindowsApi().setThreadExecutionState = real;
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[1].flags, static_cast<EXECUTION_STATE>(ES_CONTINUOUS)) << "cleared at the end";
  EXPECT_EQ(g_calls[1].thread, g_calls[0].thread) << "by the thread that asked";
}

}  // namespace
}  // namespace norza::desktop
