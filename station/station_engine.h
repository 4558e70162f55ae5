// The station's engine: the update session run open-ended over the link, on
// a thread of its own. It owns the session; the window sees it only through
// copies of the board. Qt-free.
//
// Threads: the engine thread runs every link call and is the only one to
// touch the session, the round book and the rests; the link's writer
// threads call Listener::Progress; Stop() may come from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "explain.h"
#include "link.h"
#include "update_session.h"

namespace norza::station {

class Listener {
 public:
  virtual ~Listener() = default;
  // Engine thread: the board, whenever a pass or step changed it.
  virtual void BoardChanged(const Board& board) = 0;
  // Engine thread: a calculator's round ended (its history line is due).
  virtual void RoundEnded(const session::Round& round) = 0;
  // A writer thread: percent of image written to the calculator.
  virtual void Progress(const std::wstring& interfacePath, int image, int percent) = 0;
  // Engine thread, last: nothing more runs.
  virtual void Stopped() = 0;
};

class StationEngine {
 public:
  StationEngine(std::vector<session::Image> images, Listener& listener);
  // Stops and waits for the running step: no link call is cut in half.
  ~StationEngine();
  StationEngine(const StationEngine&) = delete;
  StationEngine& operator=(const StationEngine&) = delete;

  void Start();
  // After the running step nothing more is written and nobody else is told;
  // the rounds still running end as failed ("stopped").
  void Stop();
  const std::vector<session::Image>& images() const { return images_; }

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  void Transfer(const session::Step& step);
  void Finish(const std::wstring& calculator);
  // Still in its round, holding every image, not told yet.
  bool StillWhole(const std::wstring& calculator) const;
  void AfterStep(const std::vector<session::Outcome>& outcomes);
  void NoteExplanations(const LinkReport& report);
  void EndRests();
  void Publish();
  static void OnProgress(void* context, const wchar_t* path, int32_t percent);

  const std::vector<session::Image> images_;
  Listener& listener_;
  session::UpdateSession session_;
  RoundBook book_;
  Board shown_;  // the last board handed on
  bool anyShown_ = false;
  std::map<std::wstring, Clock::time_point> restUntil_;
  // Each calculator's last failure as the link explained it, by path.
  std::map<std::wstring, std::pair<int32_t, LinkExplanation>> explained_;
  bool tooMany_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> writing_{-1};  // the image being written, for the writer threads
  std::thread thread_;
};

}  // namespace norza::station
