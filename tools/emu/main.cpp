// norza-emu: plugs and unplugs emulated calculators in an emulator directory
// (the one NORZA_EMULATOR_DIR names), summarizes their journals and checks
// what landed on their disks.
#include <getopt.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "emulator.h"
#include "emulator_dir.h"
#include "journal_summary.h"
#include "number_parse.h"

namespace {

namespace fs = std::filesystem;
using namespace norza::emu;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* kUsage =
    "usage:\n"
    "  norza-emu plug DIR NAME [--size BYTES] [--fail-writes N] [--reject-command CODE]\n"
    "                 [--reject-count N] [--vanish-after-writes N] [--return-after-polls N]\n"
    "                 [--deny-opens N] [--reject-next N] [--drop-data N] [--return-blank 1]\n"
    "                 [--appear-after-polls N] [--vendor V] [--product P] [--port P]\n"
    "  norza-emu unplug DIR NAME\n"
    "  norza-emu journal DIR NAME\n"
    "  norza-emu verify DIR NAME IMAGE OFFSET\n"
    "  norza-emu --help\n"
    "\n"
    "Each DIR/NAME.disk is one calculator in update mode (default 64 MiB, sparse).\n"
    "plug creates it or plugs a vanished one back in keeping its bytes; the fault\n"
    "options replace its faults file. With --return-after-polls N a calculator\n"
    "that vanished comes back by itself at the Nth discovery pass after; with\n"
    "--return-blank 1 as a blank disk (another calculator under the same path). BYTES\n"
    "takes a K, M or G suffix; numbers may be 0x-hex. verify exits 0 when the\n"
    "disk holds IMAGE at OFFSET, else 1.\n"
    "Bad usage exits 2.\n";

int Usage(const std::string& why) {
  if (!why.empty()) std::cerr << "norza-emu: " << why << '\n';
  std::cerr << kUsage;
  return kExitUsage;
}

// Decimal or 0x-hex, optionally K, M or G (powers of 1024).
bool ParseSize(std::string text, int64_t* value) {
  int64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k': unit = int64_t{1} << 10; break;
      case 'M':
      case 'm': unit = int64_t{1} << 20; break;
      case 'G':
      case 'g': unit = int64_t{1} << 30; break;
      default: break;
    }
    if (unit != 1) text.pop_back();
  }
  uint64_t result = 0;
  if (!norza::ParseUnsigned(text, uint64_t{1} << 50, &result)) return false;
  if (result > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / unit)) return false;
  *value = static_cast<int64_t>(result) * unit;
  return true;
}

bool ParseCount(const std::string& text, uint32_t* value) {
  uint64_t parsed = 0;
  if (!norza::ParseUnsigned(text, std::numeric_limits<uint32_t>::max(), &parsed)) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

enum PlugOption { kOptSize = 1, kOptVendor, kOptProduct, kOptPort, kOptFault };

// --size, --vendor, --product, --port, then one option per fault, named as in the
// faults file.
std::vector<option> PlugOptionTable() {
  std::vector<option> table = {
      {"size", required_argument, nullptr, kOptSize},
      {"vendor", required_argument, nullptr, kOptVendor},
      {"product", required_argument, nullptr, kOptProduct},
      {"port", required_argument, nullptr, kOptPort},
  };
  for (const FaultSetting& fault : kFaultSettings) {
    table.push_back({fault.key, required_argument, nullptr, kOptFault});
  }
  table.push_back({nullptr, 0, nullptr, 0});
  return table;
}

// args: DIR NAME and the options, in any order.
int Plug(std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>("plug")};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size()) - 1;
  PlugOptions options;
  Identity identity;
  bool identityGiven = false;
  optind = 0;  // a full restart of getopt's scan
  opterr = 0;
  const std::vector<option> table = PlugOptionTable();
  int index = 0;
  for (int option; (option = getopt_long(argc, argv.data(), ":", table.data(), &index)) != -1;) {
    if (option == ':') return Usage(std::string(argv[optind - 1]) + " needs a value");
    if (option == '?') return Usage(std::string("unknown option ") + argv[optind - 1]);
    const std::string given = std::string("--") + table[index].name;
    const std::string value = optarg;
    if (option == kOptSize) {
      if (!ParseSize(value, &options.size) || options.size <= 0 || options.size % 512 != 0) {
        return Usage("--size must be a positive multiple of 512: " + value);
      }
    } else if (option == kOptVendor || option == kOptProduct) {
      (option == kOptVendor ? identity.vendor : identity.product) = value;
      identityGiven = true;
    } else if (option == kOptPort) {
      identity.port = value;
      identityGiven = true;
    } else {
      uint32_t count = 0;
      if (!ParseCount(value, &count)) return Usage("bad number for " + given + ": " + value);
      SetFault(table[index].name, count, &options.faults);
    }
  }
  if (argc - optind < 2) return Usage("plug needs DIR and NAME");
  if (argc - optind > 2) return Usage(std::string("unexpected argument ") + argv[optind + 2]);
  const std::string dir = argv[optind];
  const std::string name = argv[optind + 1];
  if (!IsValidDiskName(name)) return Usage("bad calculator name: " + name);
  if (options.faults.rejectCount > 0 && !options.faults.rejectCommand) {
    return Usage("--reject-count needs --reject-command");
  }
  if (identityGiven) options.identity = identity;
  const std::string disk = FilesOf(dir, name).disk;
  std::error_code ec;
  const bool existed = fs::exists(fs::u8path(disk), ec);
  std::string error;
  if (!PlugDisk(dir, name, options, &error)) {
    std::cerr << "norza-emu: " << error << '\n';
    return kExitFailed;
  }
  if (existed) {
    std::cout << "plugged back in " << disk << " (" << fs::file_size(fs::u8path(disk), ec)
              << " bytes kept)\n";
  } else {
    std::cout << "plugged " << disk << '\n';
  }
  return kExitOk;
}

int Unplug(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("unplug needs DIR and NAME");
  if (!IsValidDiskName(args[1])) return Usage("bad calculator name: " + args[1]);
  std::string error;
  if (!UnplugDisk(args[0], args[1], &error)) {
    std::cerr << "norza-emu: " << error << '\n';
    return kExitFailed;
  }
  std::cout << "unplugged " << args[1] << '\n';
  return kExitOk;
}

int Journal(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("journal needs DIR and NAME");
  if (!IsValidDiskName(args[1])) return Usage("bad calculator name: " + args[1]);
  const std::string path = FilesOf(args[0], args[1]).journal;
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in.is_open()) {
    std::cerr << "norza-emu: no journal " << path << '\n';
    return kExitFailed;
  }
  std::cout << FormatSummary(args[1], SummarizeJournal(in));
  return kExitOk;
}

int Verify(const std::vector<std::string>& args) {
  if (args.size() != 4) return Usage("verify needs DIR, NAME, IMAGE and OFFSET");
  if (!IsValidDiskName(args[1])) return Usage("bad calculator name: " + args[1]);
  int64_t offset = 0;
  if (!ParseSize(args[3], &offset)) return Usage("bad offset: " + args[3]);
  const std::string diskPath = FilesOf(args[0], args[1]).disk;
  std::ifstream disk(fs::u8path(diskPath), std::ios::binary);
  std::ifstream image(fs::u8path(args[2]), std::ios::binary);
  if (!disk.is_open()) {
    std::cerr << "norza-emu: no disk " << diskPath << '\n';
    return kExitFailed;
  }
  if (!image.is_open()) {
    std::cerr << "norza-emu: cannot open image " << args[2] << '\n';
    return kExitFailed;
  }
  std::error_code diskError, imageError;
  const auto diskSize = static_cast<int64_t>(fs::file_size(fs::u8path(diskPath), diskError));
  const auto imageSize = static_cast<int64_t>(fs::file_size(fs::u8path(args[2]), imageError));
  if (diskError || imageError) {
    std::cerr << "norza-emu: cannot size " << (diskError ? diskPath : args[2]) << '\n';
    return kExitFailed;
  }
  if (offset + imageSize > diskSize) {
    std::cout << "MISMATCH " << args[1] << ": the image (" << imageSize
              << " bytes) does not fit the disk (" << diskSize << " bytes) at " << offset << '\n';
    return kExitFailed;
  }
  disk.seekg(offset);
  std::vector<char> a(1 << 20), b(1 << 20);
  int64_t done = 0;
  while (done < imageSize) {
    const auto n = static_cast<std::streamsize>(std::min<int64_t>(a.size(), imageSize - done));
    image.read(a.data(), n);
    disk.read(b.data(), n);
    if (image.gcount() != n || disk.gcount() != n) {
      std::cerr << "norza-emu: read failed at image offset " << done << '\n';
      return kExitFailed;
    }
    if (std::memcmp(a.data(), b.data(), static_cast<std::size_t>(n)) != 0) {
      std::streamsize k = 0;
      while (a[k] == b[k]) ++k;
      const int64_t at = done + k;
      std::cout << "MISMATCH " << args[1] << ": first difference at disk offset " << offset + at
                << " (image offset " << at << "): disk has 0x" << std::hex
                << (static_cast<unsigned>(b[k]) & 0xFF) << ", image has 0x"
                << (static_cast<unsigned>(a[k]) & 0xFF) << std::dec << '\n';
      return kExitFailed;
    }
    done += n;
  }
  std::cout << "OK " << args[1] << ": " << imageSize << " bytes of " << args[2] << " at offset "
            << offset << '\n';
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return kExitOk;
  }
  if (command == "plug") return Plug(args);
  if (command == "unplug") return Unplug(args);
  if (command == "journal") return Journal(args);
  if (command == "verify") return Verify(args);
  return Usage("unknown command " + command);
}
