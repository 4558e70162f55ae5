// One update's course, Qt-free: which images it writes, which calculators
// took part and what each holds, what to run next, and when and why the
// update ends. Driven by results (what a discovery pass listed, a transfer's
// and a finish's outcome for each calculator) and unit-tested alone. One
// thread owns a session: the window's GUI thread, the command's main thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link.h"

namespace norza::session {

// Attempts at an image (all together: for the update; per calculator: for
// each calculator) before it is given up.
inline constexpr int kAttempts = 6;

// The pauses of an update's course, the same for every front end; each goes
// through norza::PauseMs.
inline constexpr int kPollIntervalMs = 500;    // between discovery polls
inline constexpr int kFailurePauseMs = 3000;   // after a failed step, before polling again
inline constexpr int kFinishPauseMs = 250;     // before the finishing command
inline constexpr int kAfterStepPauseMs = 100;  // after each step's report

// Open-ended: discovery passes that must list a calculator (plugged in, or
// back) before it is written, so a calculator still being enumerated is
// not opened half-way. Passes come kPollIntervalMs apart while nothing runs.
inline constexpr int kSettlePasses = 2;

struct Image {
  std::wstring path;
  std::string name;  // the file name as listed
  int64_t offset = 0;
  ImageFileFacts facts;
};

// A calculator as discovery sees it. The interface path is the key; serial
// and port (the USB port or location, where the platform tells it) are for
// people; the node is the device node where the platform has one.
struct Identity {
  std::wstring interfacePath;
  std::string serial;
  std::string port;
  std::wstring deviceNode;
};

enum class Activity {
  Waiting,   // attached, nothing running for it
  Writing,   // an image is being written to it
  Complete,  // holds every image, not told yet
  Finished,  // told the update is over
  Failed,    // given up: no more writes, never finished
  Missing,   // not attached at the last look
};
const char* ActivityWord(Activity activity);

struct Calculator {
  Identity identity;
  std::vector<bool> holds;  // by image, in transfer order: written whole in this update
  int attempts = 0;         // failed attempts (per calculator)
  Activity activity = Activity::Waiting;
  int image = -1;      // the image being written, while Writing
  int percent = 0;     // of that image
  int32_t code = 0;    // the last failure's link code
  std::string reason;  // and in words
  bool attached = true;
  bool finished = false;
  bool givenUp = false;
  bool failedLast = false;  // its last transfer failed
  int passes = 0;           // discovery passes that listed it since its round began
  int round = 0;            // open-ended: its rounds so far (1 while the first runs)
  bool resting = false;     // sits out the pause after its failure: nothing is run for it
  bool roundOpen = false;   // open-ended: the round has not ended yet
  bool HoldsAll() const;
  int ImagesHeld() const;
};

// What a link entry said about one calculator.
struct Outcome {
  std::wstring interfacePath;
  int32_t code = 0;
  bool gone = false;   // the platform said it was not there
  std::string reason;  // the failure in words, empty on success
  // Who it is, as far as the entry could tell (empty: not known).
  std::string serial;
  std::string port;
  std::wstring deviceNode;
};

// The board order: by port where the platform tells it (an unknown port
// last), then by serial; the path keeps it stable when both are equal.
bool ComesBefore(const Identity& a, const Identity& b);

// How a round ended (open-ended only). A round is one calculator's course
// from the moment it is seen until it is finished, given up or unplugged.
enum class RoundEnd { Updated, Failed, Gone };
const char* RoundEndWord(RoundEnd end);  // "updated", "failed", "gone"

struct Round {
  Identity identity;
  RoundEnd end = RoundEnd::Gone;
  int32_t code = 0;       // 0 for updated; the last failure's link code, or 119 for gone
  std::string reason;     // in words; empty for updated
  int imagesHeld = 0;     // when it ended
  int missingImage = -1;  // the first image it lacked then; -1 when it held them all
};

// Whether the update ends when nothing is left to do (an update: the window,
// the command) or runs round after round until it is stopped (the station).
enum class Course { ToTheEnd, OpenEnded };

enum class Policy {
  // Every image to every attached calculator, one count of attempts for the
  // update, the finish only when the update is whole.
  AllTogether,
  // Each calculator gets the images it lacks and has its own attempts; one
  // that used them up is given up and the others go on; every calculator
  // that holds every image is finished.
  PerCalculator,
};

struct Step {
  // Wait: nothing to run until a calculator comes (per calculator, before
  // the first one is seen).
  enum class Kind { Wait, Transfer, Finish, End };
  Kind kind = Kind::End;
  int image = -1;  // Transfer
  // Transfer: the calculators to write (all together: every attached one);
  // Finish: the calculators to tell.
  std::vector<std::wstring> calculators;
  // Finish: refuse (and send nothing) when another calculator is attached.
  bool onlyThese = false;
};

enum class End { Running, Done, Failed, Aborted, NoImageSet };
const char* EndWord(End end);

class UpdateSession {
 public:
  // No images: the update ends at once with NoImageSet. Open-ended needs
  // the per-calculator policy.
  UpdateSession(Policy policy, std::vector<Image> images, Course course = Course::ToTheEnd);

  Policy policy() const { return policy_; }
  Course course() const { return course_; }
  const std::vector<Image>& images() const { return images_; }
  const std::map<std::wstring, Calculator>& calculators() const { return calculators_; }
  // The calculators in a stable order: by port where known, else by serial.
  std::vector<const Calculator*> Ordered() const;

  // A discovery pass listed these calculators. One of the update that it did
  // not list has gone away: what comes back under its path may be another
  // calculator, so it holds nothing until it is written again.
  void NotePass(const std::vector<Identity>& attached);
  // A transfer of image to the calculators it wrote ended: the link's
  // result and each calculator's outcome. Returns the update's result code
  // for it: the link's, or 119 when every written one succeeded but one of
  // the update is not attached.
  int32_t NoteTransfer(int image, int32_t result, const std::vector<Outcome>& outcomes);
  // The finish ended: 0 when the chosen calculators were told. The
  // outcomes name every calculator the link found attached.
  int32_t NoteFinish(int32_t result, const std::vector<Outcome>& outcomes);
  // The calculator sits out the pause after a failure (true), or may be run
  // again (false). Its own pause: the others go on meanwhile.
  void Rest(const std::wstring& interfacePath, bool resting);
  // A writer thread reached percent of image on a calculator.
  void NoteProgress(const std::wstring& interfacePath, int image, int percent);
  // The update is stopped: nothing more runs, nobody is finished.
  void Abort();
  // Open-ended: the rounds that ended since the last call, in order.
  std::vector<Round> TakeEndedRounds();
  // Open-ended: whether the calculator's round runs (seen, not yet
  // finished, given up or unplugged).
  static bool RoundRuns(const Calculator& calculator) { return calculator.roundOpen; }

  Step Next() const;
  End end() const { return end_; }
  // The code the update ended with (0 when done).
  int32_t endCode() const { return endCode_; }
  // All together: failed attempts since the update last made progress.
  int failures() const { return failures_; }
  // Whether the update is whole: calculators took part and every one holds
  // every image (all together: the only case in which anyone is finished).
  bool Whole() const;
  // Calculators that took part and do not hold every image, or are not
  // attached (all together), or were not finished (per calculator).
  std::vector<const Calculator*> NotCompleted() const;

 private:
  Calculator& Seen(const Identity& identity);
  Calculator& Seen(const std::wstring& interfacePath);
  void GoneAway(Calculator& calculator);
  void Refresh(Calculator& calculator);
  int FirstImageLacked(const std::vector<const Calculator*>& among) const;
  // Per calculator: attached, not given up, not told yet.
  static bool InRound(const Calculator& calculator);
  int32_t CountFailure(int32_t code);
  void CountAttempt(Calculator& calculator);
  void EndIfNothingLeft();
  void BeginRound(Calculator& calculator);
  Round RoundOf(const Calculator& calculator, RoundEnd end) const;
  void EndRound(Calculator& calculator, RoundEnd end);
  std::vector<std::wstring> Attached() const;

  Policy policy_;
  Course course_;
  std::vector<Image> images_;
  std::map<std::wstring, Calculator> calculators_;
  End end_ = End::Running;
  int32_t endCode_ = 0;
  int failures_ = 0;
  std::vector<bool> everWhole_;  // images some transfer made whole at least once
  std::vector<Round> endedRounds_;
};

}  // namespace norza::session
