// The layout of an emulator directory: one <name>.disk per calculator, with
// optional <name>.faults, <name>.identity, <name>.journal and <name>.gone
// beside it. Several processes (the updater, norza-emu) share the directory,
// so small files are replaced atomically.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator.h"

namespace norza::emu {

// The USB identity a disk presents; a calculator in update mode by default.
struct Identity {
  std::string vendor = kDefaultVendor;
  std::string product = kDefaultProduct;
  std::string port;  // the USB port the backend tells, as a real hub's (empty: none)
};

struct DiskFiles {
  std::string disk, faults, identity, journal, gone;  // UTF-8 paths
};
DiskFiles FilesOf(const std::string& directory, const std::string& name);

// A plain file name: no separators, not empty, not "." or "..".
bool IsValidDiskName(const std::string& name);

// Names of the <name>.disk files, sorted.
std::vector<std::string> ListDiskNames(const std::string& directory);

// Writes a temporary file beside path and renames it over path.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error);
bool ReadTextFile(const std::string& path, std::string* content);

// Faults of a disk (none when there is no faults file); false on a bad file.
bool ReadFaultsFile(const std::string& path, Faults* faults, std::string* error);
// Writes what remains; removes the file when nothing does.
bool WriteFaultsFile(const std::string& path, const Faults& faults, std::string* error);

Identity ReadIdentityFile(const std::string& path);

struct PlugOptions {
  int64_t size = 64 * 1024 * 1024;   // only for a new disk
  Faults faults;                     // replaces the faults file when any is set
  std::optional<Identity> identity;  // written to the identity file when set
};
// Creates <name>.disk (sparse, dropping faults and identity an earlier disk
// of the name left) or keeps the bytes and faults of an existing one; clears
// the gone mark.
bool PlugDisk(const std::string& directory, const std::string& name, const PlugOptions& options,
              std::string* error);
// Removes <name>.disk and its gone mark; journal, faults and identity stay
// until a new disk of the name is plugged.
bool UnplugDisk(const std::string& directory, const std::string& name, std::string* error);

}  // namespace norza::emu
