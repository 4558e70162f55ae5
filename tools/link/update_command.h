// norza-link update FOLDER: a whole update of every calculator attached, in
// one command, through the update session with each calculator on its own
// (its own attempts; one that fails holds back nobody).
#pragma once

#include <functional>
#include <string>

namespace norza::tools {

// The command's exit codes.
inline constexpr int kUpdateDone = 0;          // every calculator found holds every image, finished
inline constexpr int kUpdateIncomplete = 1;    // some calculators not completed (named on stderr)
inline constexpr int kUpdateUsage = 2;         // bad usage
inline constexpr int kUpdateNoImageSet = 3;    // no image set in FOLDER
inline constexpr int kUpdateNoCalculator = 4;  // no calculator within --wait
inline constexpr int kUpdateBusy = 5;          // another updater of this user is running
inline constexpr int kUpdateInterrupted = 130;

struct UpdateOptions {
  std::string folder;
  double waitSeconds = 60;  // real seconds, never scaled
  bool json = false;
  bool quiet = false;
  bool notify = false;  // a desktop notification at the end
};

// What the command needs of the application shell: the per-user guard the
// window also takes, and the updater's log. Given by the program, so the
// command itself stays free of Qt.
struct CommandShell {
  // true when this process now holds the guard; otherwise false and why.
  std::function<bool(std::string* why)> claimGuard;
  std::function<void(const std::string& line)> log;
  // The desktop: calculators are found (sleep is held off), the update's
  // progress (0 to 1), and its end (the hold released; with a summary, a
  // notification too).
  std::function<void()> running;
  std::function<void(double fraction)> progress;
  std::function<void(const std::string& summary, const std::string& body)> ended;
};

int RunUpdateCommand(const UpdateOptions& options, const CommandShell& shell);

// "update" and its options after the program name; false (and why) when
// they are not right.
bool ParseUpdateOptions(int argc, char** argv, UpdateOptions* options, std::string* why);

}  // namespace norza::tools
