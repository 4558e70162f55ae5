#include "recorder.h"

#include <mutex>

namespace norza::linktest {
namespace {

std::mutex g_recordMutex;
std::vector<int> g_pauses;
std::vector<int32_t> g_progress;
std::vector<std::wstring> g_messages;

}  // namespace

void Recorder::Reset() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_pauses.clear();
  g_progress.clear();
  g_messages.clear();
}
void Recorder::OnPause(int milliseconds) {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_pauses.push_back(milliseconds);
}
void Recorder::OnProgress(int32_t percent) {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_progress.push_back(percent);
}
void Recorder::OnMessage(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_messages.emplace_back(text);
}
std::vector<int> Recorder::Pauses() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_pauses;
}
std::vector<int32_t> Recorder::Progress() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_progress;
}
std::vector<std::wstring> Recorder::Messages() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_messages;
}

}  // namespace norza::linktest
