// norza-link: the mass-storage link from the command line, for trying a
// calculator (or an emulated one, with NORZA_EMULATOR_DIR) without the window.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "command_shell.h"
#include "emulator_backend.h"
#include "explain.h"
#include "link.h"
#include "number_parse.h"
#include "platform.h"
#include "update_command.h"

namespace {

const char kUsage[] =
    "usage: norza-link list\n"
    "       norza-link update FOLDER [--wait SECONDS] [--json] [--quiet] [--notify]\n"
    "       norza-link download IMAGE OFFSET\n"
    "       norza-link finish\n"
    "\n"
    "  list      one line per calculator in update mode: interface path, a tab,\n"
    "            and the device node when the platform tells it\n"
    "  update    the whole update: the image set of FOLDER to every calculator\n"
    "            in update mode, each with its own six attempts (one that keeps\n"
    "            failing holds back nobody); every calculator that holds every\n"
    "            image is told the update is over, the others are named\n"
    "            --wait SECONDS  how long to wait for the first calculator\n"
    "                            (real seconds; default 60)\n"
    "            --json          one JSON object per line (event: images,\n"
    "                            progress, calculator, end)\n"
    "            --quiet         no live lines; the end and errors stay\n"
    "            --notify        a desktop notification at the end\n"
    "            while it writes, the computer is kept from sleeping\n"
    "            exit: 0 every calculator found updated and told, 1 some not\n"
    "            completed (named on stderr), 2 usage, 3 no image set in\n"
    "            FOLDER, 4 no calculator within --wait, 5 another updater of\n"
    "            this user is running, 130 interrupted\n"
    "  download  writes IMAGE at byte OFFSET (decimal or 0x-hex) of every\n"
    "            calculator; prints the message and each progress percent;\n"
    "            exits with the link result code\n"
    "  finish    tells every calculator the update is over; exits with its code\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The callbacks run on the writer threads: one line at a time.
std::mutex g_outputMutex;

void PrintProgress(int32_t percent) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  std::printf("progress: %" PRId32 "\n", percent);
  std::fflush(stdout);
}

void PrintMessage(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  std::printf("message: %s\n", norza::platform::WideToUtf8(text).c_str());
  std::fflush(stdout);
}

bool ParseOffset(const char* text, int64_t* offset) {
  uint64_t value = 0;
  if (!norza::ParseUnsigned(text, static_cast<uint64_t>(INT64_MAX), &value)) return false;
  *offset = static_cast<int64_t>(value);
  return true;
}

// A command-line user is told why, not only the exit code.
int Report(const char* what, int32_t code) {
  if (code == 0) return 0;
  std::fprintf(stderr, "norza-link: %s failed with %" PRId32 ": %s\n", what, code,
               LinkResultMeaning(code));
  const LinkExplanation explanation = ExplainLinkFailure(code, LastLinkFailure(), 0);
  if (explanation.textId != 0)
    std::fprintf(stderr, "norza-link: %s\n", FormatExplanation(explanation).c_str());
  const std::string detail = LinkFailureDetail();
  if (!detail.empty()) std::fprintf(stderr, "norza-link: %s\n", detail.c_str());
  return code;
}

int List() {
  LinkReport report;
  ListCalculators(kCalculatorVendor, kCalculatorProduct, &report);
  for (const CalculatorReport& calculator : report.calculators) {
    std::printf("%s", norza::platform::WideToUtf8(calculator.interfacePath).c_str());
    if (!calculator.deviceNode.empty())
      std::printf("\t%s", norza::platform::WideToUtf8(calculator.deviceNode).c_str());
    std::printf("\n");
  }
  return 0;
}

}  // namespace

// Three fixed command shapes and update with its options: a table for
// getopt_long would be longer than these comparisons.
int main(int argc, char** argv) {
  if (norza::emu::UseEmulatedCalculatorsIfConfigured())
    std::fprintf(stderr, "norza-link: %s, not this machine's disks\n", CalculatorSource().c_str());
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "list") == 0) return List();
  if (argc >= 2 && std::strcmp(argv[1], "update") == 0) {
    norza::tools::UpdateOptions options;
    std::string why;
    if (!norza::tools::ParseUpdateOptions(argc, argv, &options, &why)) {
      std::fprintf(stderr, "norza-link: %s\n", why.c_str());
      return Usage();
    }
    return norza::tools::RunUpdateCommand(options, norza::tools::MakeCommandShell());
  }
  if (argc == 2 && std::strcmp(argv[1], "finish") == 0) {
    return Report("finish", FinishUpdate(kCalculatorVendor, kCalculatorProduct));
  }
  if (argc == 4 && std::strcmp(argv[1], "download") == 0) {
    int64_t offset = 0;
    if (!ParseOffset(argv[3], &offset)) {
      std::fprintf(stderr, "norza-link: bad OFFSET '%s'\n", argv[3]);
      return Usage();
    }
    const std::wstring image = norza::platform::Utf8ToWide(argv[2]);
    return Report("download", DownloadImage(kCalculatorVendor, kCalculatorProduct, image.c_str(),
                                            offset, PrintProgress, PrintMessage));
  }
  return Usage();
}
