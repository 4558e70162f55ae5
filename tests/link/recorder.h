// Records the link's pauses and callbacks (process-wide, thread-safe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norza::linktest {

struct Recorder {
  static void Reset();
  static void OnPause(int milliseconds);
  static void OnProgress(int32_t percent);
  static void OnMessage(const wchar_t* text);
  static std::vector<int> Pauses();
  static std::vector<int32_t> Progress();
  static std::vector<std::wstring> Messages();
};

}  // namespace norza::linktest
