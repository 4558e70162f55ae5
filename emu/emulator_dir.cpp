#include "emulator_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace norza::emu {
namespace fs = std::filesystem;

DiskFiles FilesOf(const std::string& directory, const std::string& name) {
  const fs::path base = fs::u8path(directory);
  auto file = [&](const char* extension) {
    return (base / fs::u8path(name + extension)).u8string();
  };
  return {file(".disk"), file(".faults"), file(".identity"), file(".journal"), file(".gone")};
}

bool IsValidDiskName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\:") == std::string::npos;
}

std::vector<std::string> ListDiskNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs::u8path(directory), ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::path& path = it->path();
    if (path.extension() != ".disk") continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    names.push_back(path.stem().u8string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  // Unique among threads and processes sharing the directory.
  static std::atomic<unsigned> counter{0};
  std::ostringstream suffix;
  suffix << ".tmp-" << std::hash<std::thread::id>{}(std::this_thread::get_id()) << '-'
         << std::chrono::steady_clock::now().time_since_epoch().count() << '-' << counter++;
  const fs::path target = fs::u8path(path);
  fs::path temp = target;
  temp += suffix.str();
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
      if (error != nullptr) *error = "cannot write " + temp.u8string();
      std::error_code ignored;
      fs::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    if (error != nullptr) *error = "cannot rename to " + path + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool ReadTextFile(const std::string& path, std::string* content) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in.is_open()) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *content = text.str();
  return true;
}

bool ReadFaultsFile(const std::string& path, Faults* faults, std::string* error) {
  std::string text;
  if (!ReadTextFile(path, &text)) {
    *faults = Faults{};
    return true;
  }
  std::string why;
  if (!ParseFaults(text, faults, &why)) {
    if (error != nullptr) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool WriteFaultsFile(const std::string& path, const Faults& faults, std::string* error) {
  const std::string text = FormatFaults(faults);
  if (text.empty()) {
    std::error_code ec;
    fs::remove(fs::u8path(path), ec);
    if (ec && error != nullptr) *error = "cannot remove " + path + ": " + ec.message();
    return !ec;
  }
  return WriteFileAtomically(path, text, error);
}

Identity ReadIdentityFile(const std::string& path) {
  Identity identity;
  std::string text;
  if (!ReadTextFile(path, &text)) return identity;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    if (key == "vendor")
      identity.vendor = line.substr(eq + 1);
    else if (key == "product")
      identity.product = line.substr(eq + 1);
    else if (key == "port")
      identity.port = line.substr(eq + 1);
  }
  return identity;
}

bool PlugDisk(const std::string& directory, const std::string& name, const PlugOptions& options,
              std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (!IsValidDiskName(name)) return fail("bad disk name: " + name);
  if (options.size <= 0) return fail("the disk size must be positive");
  std::error_code ec;
  fs::create_directories(fs::u8path(directory), ec);
  if (ec) return fail("cannot create " + directory + ": " + ec.message());
  const DiskFiles files = FilesOf(directory, name);

  const fs::path disk = fs::u8path(files.disk);
  const bool fresh = !fs::exists(disk, ec);
  if (fresh) {
    // A new disk is a new device: what an earlier one of the name left goes.
    fs::remove(fs::u8path(files.faults), ec);
    fs::remove(fs::u8path(files.identity), ec);
  }
  // Faults and identity first: the disk file is what discovery looks for.
  if (!options.faults.Empty() && !WriteFaultsFile(files.faults, options.faults, error))
    return false;
  if (options.identity) {
    const std::string text =
        "vendor=" + options.identity->vendor + "\nproduct=" + options.identity->product + "\n" +
        (options.identity->port.empty() ? std::string() : "port=" + options.identity->port + "\n");
    if (!WriteFileAtomically(files.identity, text, error)) return false;
  }
  if (fresh) {
    fs::path temp = disk;
    temp += ".new";
    { std::ofstream create(temp, std::ios::binary | std::ios::trunc); }
    fs::resize_file(temp, static_cast<std::uintmax_t>(options.size), ec);  // sparse
    if (!ec) fs::rename(temp, disk, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      return fail("cannot create " + files.disk + ": " + ec.message());
    }
  }
  fs::remove(fs::u8path(files.gone), ec);
  if (ec) return fail("cannot remove " + files.gone + ": " + ec.message());
  return true;
}

bool UnplugDisk(const std::string& directory, const std::string& name, std::string* error) {
  if (!IsValidDiskName(name)) {
    if (error != nullptr) *error = "bad disk name: " + name;
    return false;
  }
  const DiskFiles files = FilesOf(directory, name);
  std::error_code ec;
  const bool removed = fs::remove(fs::u8path(files.disk), ec);
  if (ec || !removed) {
    if (error != nullptr) *error = "no disk " + files.disk;
    return false;
  }
  fs::remove(fs::u8path(files.gone), ec);
  return true;
}

}  // namespace norza::emu
