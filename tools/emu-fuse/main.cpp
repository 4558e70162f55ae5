// norza-emu-fuse: serves one emulated calculator's disk as a single file in a
// FUSE mount, with direct I/O, so that a loop device over that file is a real
// block device answering the calculator's command protocol.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "served_disk.h"

namespace {

using norza::emufuse::ServedDisk;

const char* kUsage =
    "usage: norza-emu-fuse MOUNTPOINT --disk DIR/NAME.disk [--foreground]\n"
    "                      [--pid-file FILE] [--timing FILE] [--allow-other]\n"
    "\n"
    "Serves DIR/NAME.disk (made by `norza-emu plug`) as MOUNTPOINT/NAME.disk with\n"
    "direct I/O: every read and write reaches the emulated calculator, which\n"
    "answers commands at sector 170 and journals to DIR/NAME.journal. Attach a\n"
    "loop device to the served file to get a real block device:\n"
    "  losetup --find --show --direct-io=on MOUNTPOINT/NAME.disk\n"
    "\n"
    "Without --foreground it returns once mounted and keeps serving in the\n"
    "background; with it, it prints \"mounted MOUNTPOINT/NAME.disk\" once mounted\n"
    "and serves until unmounted or signalled. --timing appends every journal event\n"
    "with a steady-clock time stamp (ns) to FILE. Bad usage exits 2.\n";

ServedDisk& Disk() { return *static_cast<ServedDisk*>(fuse_get_context()->private_data); }

bool IsFile(const char* path) { return path[0] == '/' && Disk().FileName() == path + 1; }

void* Init(fuse_conn_info* /*conn*/, fuse_config* config) {
  // The kernel must ask every time: a cached read of the command window
  // would hide the calculator's reply.
  config->direct_io = 1;
  config->kernel_cache = 0;
  config->auto_cache = 0;
  config->attr_timeout = 0;
  config->entry_timeout = 0;
  config->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* /*fi*/) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (!IsFile(path)) return -ENOENT;
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  st->st_size = Disk().Size();
  st->st_blksize = 512;
  st->st_blocks = Disk().Size() / 512;
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/,
            fuse_file_info* /*fi*/, fuse_readdir_flags /*flags*/) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, Disk().FileName().c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (!IsFile(path)) return -ENOENT;
  if ((fi->flags & O_TRUNC) != 0) return -EPERM;  // a disk keeps its size
  fi->direct_io = 1;
  fi->keep_cache = 0;
  fi->fh = Disk().OpenSession();
  return 0;
}

int Read(const char* /*path*/, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return static_cast<int>(Disk().Read(fi->fh, offset, buffer, size));
}

int Write(const char* /*path*/, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return static_cast<int>(Disk().Write(fi->fh, offset, buffer, size));
}

int Fsync(const char* /*path*/, int /*datasync*/, fuse_file_info* fi) {
  return Disk().Fsync(fi->fh);
}

// close() of one descriptor: nothing to push, writes are synchronous.
int Flush(const char* /*path*/, fuse_file_info* /*fi*/) { return 0; }

int Release(const char* /*path*/, fuse_file_info* fi) {
  Disk().CloseSession(fi->fh);
  return 0;
}

int Truncate(const char* path, off_t size, fuse_file_info* /*fi*/) {
  if (!IsFile(path)) return -ENOENT;
  return size == Disk().Size() ? 0 : -EPERM;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.fsync = Fsync;
  ops.flush = Flush;
  ops.release = Release;
  ops.truncate = Truncate;
  return ops;
}

int Usage(const std::string& why) {
  if (!why.empty()) std::cerr << "norza-emu-fuse: " << why << '\n';
  std::cerr << kUsage;
  return 2;
}

struct Options {
  std::string mountpoint, disk, pidFile, timing;
  bool foreground = false;
  bool allowOther = false;
};

// What fuse_opt_parse fills in: C strings it allocates, freed here.
struct ParsedArguments {
  char* disk = nullptr;
  char* pidFile = nullptr;
  char* timing = nullptr;
  int foreground = 0;
  int allowOther = 0;
  int help = 0;
  std::vector<std::string> mountpoints;  // written by the callback, not by offset
  std::string unknown;

  ParsedArguments() = default;
  ParsedArguments(const ParsedArguments&) = delete;
  ParsedArguments& operator=(const ParsedArguments&) = delete;
  ~ParsedArguments() {
    std::free(disk);
    std::free(pidFile);
    std::free(timing);
  }
};

#define NORZA_VALUE_OPTION(name, field)                                 \
  fuse_opt{name " %s", offsetof(ParsedArguments, field), 0}, fuse_opt { \
    name "=%s", offsetof(ParsedArguments, field), 0                     \
  }
#define NORZA_FLAG_OPTION(name, field) \
  fuse_opt { name, offsetof(ParsedArguments, field), 1 }

const fuse_opt kOptionSpecs[] = {
    NORZA_VALUE_OPTION("--disk", disk),
    NORZA_VALUE_OPTION("--pid-file", pidFile),
    NORZA_VALUE_OPTION("--timing", timing),
    NORZA_FLAG_OPTION("--foreground", foreground),
    NORZA_FLAG_OPTION("-f", foreground),
    NORZA_FLAG_OPTION("--allow-other", allowOther),
    NORZA_FLAG_OPTION("--help", help),
    NORZA_FLAG_OPTION("-h", help),
    FUSE_OPT_END,
};

#undef NORZA_VALUE_OPTION
#undef NORZA_FLAG_OPTION

// Arguments no template matched: the mount point, or an unknown option.
int OtherArgument(void* data, const char* argument, int key, fuse_args* /*outargs*/) {
  auto* parsed = static_cast<ParsedArguments*>(data);
  if (key == FUSE_OPT_KEY_NONOPT) {
    parsed->mountpoints.emplace_back(argument);
  } else if (parsed->unknown.empty()) {
    parsed->unknown = argument;
  }
  return 0;  // discard: nothing is passed on
}

// 0 when options holds a usable command line, else the exit code: 0 after
// --help, 2 after bad usage (said on stderr).
int ParseArguments(int argc, char** argv, Options* options, bool* done) {
  *done = true;
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  ParsedArguments parsed;
  // libfuse says what it missed ("missing argument after `--disk'") itself.
  const int result = fuse_opt_parse(&args, &parsed, kOptionSpecs, OtherArgument);
  fuse_opt_free_args(&args);
  if (result != 0) return Usage("");
  if (parsed.help != 0) {
    std::cout << kUsage;
    return 0;
  }
  if (!parsed.unknown.empty()) return Usage("unknown option " + parsed.unknown);
  if (parsed.mountpoints.size() > 1) return Usage("one mount point only");
  if (parsed.mountpoints.empty() || parsed.disk == nullptr)
    return Usage("needs MOUNTPOINT and --disk");
  options->mountpoint = parsed.mountpoints.front();
  options->disk = parsed.disk;
  if (parsed.pidFile != nullptr) options->pidFile = parsed.pidFile;
  if (parsed.timing != nullptr) options->timing = parsed.timing;
  options->foreground = parsed.foreground != 0;
  options->allowOther = parsed.allowOther != 0;
  *done = false;
  return 0;
}

// Owns the libfuse objects; unmounts and destroys in reverse order.
class Mount {
 public:
  Mount(ServedDisk& disk, const Options& options) {
    const fuse_operations ops = Operations();
    std::vector<std::string> words = {"norza-emu-fuse", "-o", "fsname=norza-emu,subtype=norza-emu"};
    if (options.allowOther) words.insert(words.end(), {"-o", "allow_other"});
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    for (const std::string& word : words) fuse_opt_add_arg(&args, word.c_str());
    fuse_ = fuse_new(&args, &ops, sizeof ops, &disk);
    fuse_opt_free_args(&args);
    if (fuse_ == nullptr) return;
    if (fuse_mount(fuse_, options.mountpoint.c_str()) != 0) return;
    mounted_ = true;
    signals_ = fuse_set_signal_handlers(fuse_get_session(fuse_)) == 0;
  }
  ~Mount() {
    if (signals_) fuse_remove_signal_handlers(fuse_get_session(fuse_));
    if (mounted_) fuse_unmount(fuse_);
    if (fuse_ != nullptr) fuse_destroy(fuse_);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  bool mounted() const { return mounted_; }
  // Serves requests one at a time (the calculator is one device) until
  // unmounted or signalled.
  int Serve() { return fuse_loop(fuse_); }

 private:
  fuse* fuse_ = nullptr;
  bool mounted_ = false;
  bool signals_ = false;
};

// Leaves the foreground once mounted: the parent exits 0 when the child has
// written the pid file, so a caller that gets 0 back can use the mount.
bool Daemonize(const std::string& pidFile) {
  int ready[2];
  if (::pipe(ready) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid > 0) {
    ::close(ready[1]);
    char byte = 0;
    const bool ok = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::_exit(ok ? 0 : 1);
  }
  ::close(ready[0]);
  ::setsid();
  bool ok = true;
  if (!pidFile.empty()) {
    FILE* out = std::fopen(pidFile.c_str(), "we");
    ok = out != nullptr && std::fprintf(out, "%d\n", static_cast<int>(::getpid())) > 0;
    if (out != nullptr) ok = std::fclose(out) == 0 && ok;
  }
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::close(null);
  }
  const char byte = ok ? 'y' : 'n';
  if (::write(ready[1], &byte, 1) != 1) ok = false;
  ::close(ready[1]);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool done = false;
  if (const int code = ParseArguments(argc, argv, &options, &done); done) return code;

  std::error_code ec;
  const std::string diskPath = std::filesystem::absolute(options.disk, ec).string();
  std::string error;
  std::unique_ptr<ServedDisk> disk =
      ServedDisk::Open(ec ? options.disk : diskPath, options.timing, &error);
  if (!disk) {
    std::cerr << "norza-emu-fuse: " << error << '\n';
    return 1;
  }
  Mount mount(*disk, options);
  if (!mount.mounted()) {
    std::cerr << "norza-emu-fuse: cannot mount on " << options.mountpoint << '\n';
    return 1;
  }
  if (options.foreground) {
    std::cout << "mounted " << options.mountpoint << '/' << disk->FileName() << std::endl;
  } else if (!Daemonize(options.pidFile)) {
    return 1;
  }
  return mount.Serve() == 0 ? 0 : 1;
}
