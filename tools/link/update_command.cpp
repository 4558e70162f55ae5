#include "update_command.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "explain.h"
#include "image_set.h"
#include "link.h"
#include "link_feed.h"
#include "number_parse.h"
#include "pacing.h"
#include "platform.h"
#include "terminal.h"
#include "update_session.h"

namespace norza::tools {
namespace {

using namespace norza::session;
using Json = nlohmann::ordered_json;

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

std::string NameOf(const Calculator& calculator) {
  const Identity& id = calculator.identity;
  return id.serial.empty() ? Utf8(id.interfacePath) : id.serial;
}

// What the command prints: JSON lines, live lines on a terminal, or only
// the end. Progress comes from the writer threads; one lock orders it all.
class Output {
 public:
  explicit Output(const UpdateOptions& options)
      : json_(options.json), live_(!options.json && !options.quiet && StdoutIsTerminal()) {}

  void Event(const Json& event) {
    if (!json_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs((event.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n").c_str(), stdout);
    std::fflush(stdout);
  }

  void Images(const std::vector<Image>& images) {
    Json list = Json::array();
    for (const Image& image : images)
      list.push_back({{"name", image.name}, {"size", image.facts.size}, {"offset", image.offset}});
    Event({{"event", "images"}, {"images", list}});
  }

  // Who is written now, before a transfer starts: their live lines.
  void Writing(const UpdateSession& session, const Step& step) {
    std::lock_guard<std::mutex> lock(mutex_);
    image_ = session.images()[static_cast<std::size_t>(step.image)].name;
    for (const std::wstring& path : step.calculators) {
      const Calculator& calculator = session.calculators().at(path);
      Line& line = lines_[path];
      line.name = NameOf(calculator);
      line.port = calculator.identity.port;
      line.text = "writing " + image_ + " (" + std::to_string(step.image + 1) + " of " +
                  std::to_string(session.images().size()) + ")";
      line.percent = 0;
    }
    DrawLocked();
  }

  void Progress(const std::wstring& path, int percent) {
    Json event;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Line& line = lines_[path];
      line.percent = percent;
      event = {{"event", "progress"},
               {"serial", line.name},
               {"port", line.port},
               {"image", image_},
               {"percent", percent}};
      DrawLocked();
    }
    Event(event);
  }

  // After a step: every calculator's state in words.
  void States(const UpdateSession& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Calculator* calculator : session.Ordered()) {
      Line& line = lines_[calculator->identity.interfacePath];
      line.name = NameOf(*calculator);
      line.port = calculator->identity.port;
      line.text = ActivityWord(calculator->activity);
      line.percent = -1;
    }
    DrawLocked();
  }

  void Text(const std::string& text) {
    if (json_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(text.c_str(), stdout);
    drawn_ = 0;  // the live lines are above now
  }

 private:
  struct Line {
    std::string name, port, text;
    int percent = -1;
  };

  // One line per calculator, redrawn in place.
  void DrawLocked() {
    if (!live_) return;
    if (drawn_ > 0) std::printf("\x1b[%dA", drawn_);
    for (const auto& [path, line] : lines_) {
      std::printf("\x1b[2K%-20s %-8s %s", line.name.c_str(), line.port.c_str(), line.text.c_str());
      if (line.percent >= 0) std::printf(" %3d%%", line.percent);
      std::printf("\n");
    }
    drawn_ = static_cast<int>(lines_.size());
    std::fflush(stdout);
  }

  const bool json_;
  const bool live_;
  std::mutex mutex_;  // guards everything below and the output itself
  std::map<std::wstring, Line> lines_;
  std::string image_;
  int drawn_ = 0;
};

void OnCalculatorProgress(void* context, const wchar_t* path, int32_t percent) {
  static_cast<Output*>(context)->Progress(path != nullptr ? path : L"", percent);
}

bool AnyFailed(const std::vector<Outcome>& outcomes) {
  for (const Outcome& outcome : outcomes) {
    if (outcome.code != LINK_OK) return true;
  }
  return false;
}

void RunStep(UpdateSession& session, const Step& step, Output& output) {
  LinkReport report;
  if (step.kind == Step::Kind::Finish) {
    PauseMs(kFinishPauseMs);
    FinishCalculators(kCalculatorVendor, kCalculatorProduct, &step.calculators, false, &report);
    Feed(session, report, [&](const std::vector<Outcome>& outcomes) {
      session.NoteFinish(report.result, outcomes);
    });
    PauseMs(kAfterStepPauseMs);
    return;
  }
  output.Writing(session, step);
  const TransferOrder order = OrderFor(session, step, OnCalculatorProgress, &output);
  TransferImage(kCalculatorVendor, kCalculatorProduct, order, &report);
  if (report.result == LINK_TOO_MANY_CALCULATORS) {
    // Nothing was written; writing 16 of 17 would leave one behind unnoticed.
    std::fprintf(stderr, "norza-link: %s\n",
                 FormatExplanation(ExplainLinkFailure(report.result, {}, 0)).c_str());
    session.Abort();
    return;
  }
  const std::vector<Outcome> outcomes =
      Feed(session, report, [&](const std::vector<Outcome>& written) {
        session.NoteTransfer(step.image, report.result, written);
      });
  PauseMs(kAfterStepPauseMs);
  if (AnyFailed(outcomes)) {
    // As the window does: a pause after a failure, then a look at who is there.
    PauseMs(kFailurePauseMs);
    Poll(session);
  }
}

// The outcome of a calculator in the command's words.
const char* OutcomeWord(const Calculator& calculator, bool interrupted) {
  if (calculator.finished) return "updated";
  if (interrupted) return "interrupted";
  if (!calculator.attached) return "missing";
  return "failed";
}

int Summarize(const UpdateSession& session, bool interrupted, Output& output,
              const CommandShell& shell) {
  int exitCode = kUpdateDone;
  std::string lines;
  for (const Calculator* calculator : session.Ordered()) {
    const char* outcome = OutcomeWord(*calculator, interrupted);
    const std::string name = NameOf(*calculator);
    const std::string port = calculator->identity.port;
    const int held = calculator->ImagesHeld();
    const bool updated = calculator->finished;
    const int32_t code = updated                 ? 0
                         : calculator->code != 0 ? calculator->code
                                                 : (interrupted ? 0 : LINK_CALCULATOR_MISSING);
    const std::string reason = updated ? std::string() : calculator->reason;
    std::string line = name + (port.empty() ? "" : " (port " + port + ")") + ": " + outcome + ", " +
                       std::to_string(held) + " of " + std::to_string(session.images().size()) +
                       " images";
    if (!updated && code != 0) line += ", " + std::to_string(code);
    if (!reason.empty()) line += ": " + reason;
    lines += line + "\n";
    if (shell.log) shell.log("  calculator " + line);
    output.Event({{"event", "calculator"},
                  {"serial", name},
                  {"port", port},
                  {"outcome", outcome},
                  {"images", held},
                  {"code", code},
                  {"reason", reason}});
    if (!updated) {
      std::fprintf(stderr, "norza-link: not completed: %s\n", line.c_str());
      exitCode = kUpdateIncomplete;
    }
  }
  if (interrupted) exitCode = kUpdateInterrupted;
  output.Text(lines);
  return exitCode;
}

// How far the update is: the share of images held, over every calculator.
double Whole(const UpdateSession& session) {
  double held = 0, all = 0;
  for (const auto& [path, calculator] : session.calculators()) {
    held += calculator.ImagesHeld();
    all += static_cast<double>(session.images().size());
  }
  return all > 0 ? held / all : 0;
}

std::string Summary(int exitCode) {
  if (exitCode == kUpdateDone) return "Calculators updated";
  if (exitCode == kUpdateInterrupted) return "Calculator update stopped";
  return "Calculator update failed";
}

std::string Body(const UpdateSession& session) {
  int updated = 0;
  std::string others;
  for (const Calculator* calculator : session.Ordered()) {
    if (calculator->finished) {
      ++updated;
      continue;
    }
    others += (others.empty() ? "" : ", ") + NameOf(*calculator);
  }
  return "Calculators updated: " + std::to_string(updated) + "." +
         (others.empty() ? "" : " Not updated: " + others + ".");
}

int EndWith(int exitCode, const char* result, Output& output, const CommandShell& shell) {
  output.Event({{"event", "end"}, {"result", result}, {"exit", exitCode}});
  if (shell.log) shell.log(std::string("norza-link update ended: ") + result);
  return exitCode;
}

}  // namespace

int RunUpdateCommand(const UpdateOptions& options, const CommandShell& shell) {
  Output output(options);
  std::string why;
  if (!shell.claimGuard || !shell.claimGuard(&why)) {
    std::fprintf(stderr, "norza-link: %s\n", why.c_str());
    return EndWith(kUpdateBusy, "busy", output, shell);
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);

  const std::wstring folder = platform::Utf8ToWide(options.folder);
  const ImageSet set = FindImageSet(ListFolder(folder));
  if (shell.log) {
    const std::string source = CalculatorSource();
    shell.log("norza-link update started: folder " + options.folder +
              (source.empty() ? "" : ", " + source));
  }
  if (!set.complete) {
    std::fprintf(stderr, "norza-link: no image set in %s\n", options.folder.c_str());
    if (set.refusal.textId != 0)
      std::fprintf(stderr, "norza-link: %s\n", FormatExplanation(set.refusal).c_str());
    return EndWith(kUpdateNoImageSet, "no image set", output, shell);
  }
  UpdateSession session(Policy::PerCalculator, set.Images());
  output.Images(session.images());

  // Waiting for the first calculator, in real seconds whatever the pace.
  const auto start = std::chrono::steady_clock::now();
  for (Poll(session); session.calculators().empty(); Poll(session)) {
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    if (g_interrupted.load()) return EndWith(kUpdateInterrupted, "interrupted", output, shell);
    if (waited.count() >= options.waitSeconds) {
      std::fprintf(stderr, "norza-link: no calculator in update mode within %g s\n",
                   options.waitSeconds);
      return EndWith(kUpdateNoCalculator, "no calculator", output, shell);
    }
    PauseMs(kPollIntervalMs);
  }

  if (shell.running) shell.running();
  // Ctrl-C lets the running image end (it is counted as it ends), then
  // nothing more is written and nobody else is told the update is over.
  for (Step step = session.Next(); !g_interrupted.load() && (step.kind == Step::Kind::Transfer ||
                                                             step.kind == Step::Kind::Finish);
       step = session.Next()) {
    RunStep(session, step, output);
    output.States(session);
    if (shell.progress) shell.progress(Whole(session));
  }
  const bool interrupted = g_interrupted.load() && session.end() != End::Done;
  if (interrupted) session.Abort();
  const int exitCode = Summarize(session, interrupted, output, shell);
  const char* result = interrupted ? "interrupted" : exitCode == kUpdateDone ? "done" : "failed";
  if (shell.ended) {
    shell.ended(options.notify ? Summary(exitCode) : std::string(),
                options.notify ? Body(session) : std::string());
  }
  return EndWith(exitCode, result, output, shell);
}

bool ParseUpdateOptions(int argc, char** argv, UpdateOptions* options, std::string* why) {
  bool haveFolder = false;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--json") {
      options->json = true;
    } else if (argument == "--quiet") {
      options->quiet = true;
    } else if (argument == "--notify") {
      options->notify = true;
    } else if (argument == "--wait" || argument.rfind("--wait=", 0) == 0) {
      std::string value;
      if (argument == "--wait") {
        if (i + 1 >= argc) return *why = "--wait needs SECONDS", false;
        value = argv[++i];
      } else {
        value = argument.substr(7);
      }
      uint64_t seconds = 0;
      if (!ParseUnsigned(value, 86400, &seconds)) return *why = "bad --wait '" + value + "'", false;
      options->waitSeconds = static_cast<double>(seconds);
    } else if (!argument.empty() && argument[0] == '-' && argument != "-") {
      return *why = "unknown option '" + argument + "'", false;
    } else if (!haveFolder) {
      options->folder = argument;
      haveFolder = true;
    } else {
      return *why = "one FOLDER only", false;
    }
  }
  if (!haveFolder) return *why = "update needs FOLDER", false;
  return true;
}

}  // namespace norza::tools
