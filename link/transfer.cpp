#include "transfer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "aligned_buffer.h"
#include "discovery.h"
#include "link_lock.h"
#include "pacing.h"
#include "protocol.h"

namespace norza::link {

std::atomic<ProgressCallback> progressCallback{nullptr};
std::atomic<MessageCallback> messageCallback{nullptr};
std::atomic<CalculatorProgressCallback> calculatorProgressCallback{nullptr};
std::atomic<void*> calculatorProgressContext{nullptr};
std::atomic<int32_t> filterKey{0};

namespace {

using platform::Backend;
using platform::Handle;
using platform::kInvalidHandle;
using platform::kSectorSize;
using platform::SeekFrom;

std::atomic<ThreadStarter> g_threadStarter{nullptr};

std::mutex g_detailMutex;
LinkFailure g_failure;  // guarded by g_detailMutex

// The disk a job writes, as a user would name it: its node when the platform
// tells it, else its interface path.
std::string DeviceSubject(const TransferJob& job) {
  if (job.devicePath == nullptr) return "the calculator's disk";
  const std::wstring node = platform::ActiveBackend().DeviceNodeOf(*job.devicePath);
  return platform::WideToUtf8(node.empty() ? *job.devicePath : node);
}

class FileCloser {
 public:
  FileCloser(Backend& backend, Handle handle) : backend_(backend), handle_(handle) {}
  ~FileCloser() { backend_.Close(handle_); }
  void Reset(Handle handle) {
    backend_.Close(handle_);
    handle_ = handle;
  }
  Handle Get() const { return handle_; }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  Backend& backend_;
  Handle handle_;
};

class CalculatorDisksCloser {
 public:
  CalculatorDisksCloser() = default;
  ~CalculatorDisksCloser() { CloseCalculatorDisks(); }
  CalculatorDisksCloser(const CalculatorDisksCloser&) = delete;
  CalculatorDisksCloser& operator=(const CalculatorDisksCloser&) = delete;
};

// The window's bar and whoever follows each calculator.
void CallProgress(const TransferJob& job, int32_t percent) {
  if (ProgressCallback callback = progressCallback.load()) callback(percent);
  if (CalculatorProgressCallback callback = calculatorProgressCallback.load()) {
    const std::wstring path = job.devicePath != nullptr ? *job.devicePath : std::wstring();
    callback(calculatorProgressContext.load(), path.c_str(), percent);
  }
}

void NotifyProgress(const TransferJob& job, int32_t percent) {
  ReportProgress(job.device, percent);
  CallProgress(job, percent);
}

// What a calculator's transfer failed on: kept with its job, and as the
// entry's first failure.
void JobFailed(TransferJob& job, const std::string& subject, const std::string& text,
               LinkFailureKind kind) {
  if (job.failure.kind == LINK_FAILURE_NONE) {
    try {
      job.failure = LinkFailure{kind, subject, text};
    } catch (...) {
      // Only a diagnostic.
    }
  }
  NoteFailure(subject, text, kind);
}

void JobFailed(TransferJob& job, const std::string& subject) {
  Backend& backend = platform::ActiveBackend();
  JobFailed(job, subject, backend.LastErrorText(), KindOfError(backend.LastErrorKind()));
}

// Writes n bytes of buffer at position in whole sectors. A partial last
// sector is completed with the bytes the disk holds after the image, so no
// byte outside the image changes. Up to seven attempts, no pause.
bool WriteChunk(Backend& backend, TransferJob& job, int64_t position, unsigned char* buffer,
                uint32_t n) {
  const uint32_t whole = n & ~static_cast<uint32_t>(kSectorSize - 1);
  const uint32_t tail = n - whole;
  const uint32_t span = tail != 0 ? whole + static_cast<uint32_t>(kSectorSize) : n;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    uint32_t done = 0;
    if (tail != 0) {
      AlignedSector sector;
      if (backend.Seek(job.device, position + whole, SeekFrom::Begin) != position + whole ||
          !backend.Read(job.device, sector.data(), kSectorSize, &done)) {
        continue;
      }
      if (done < kSectorSize) std::memset(sector.data() + done, 0, kSectorSize - done);
      std::memcpy(buffer + n, sector.data() + tail, kSectorSize - tail);
    }
    if (backend.Seek(job.device, position, SeekFrom::Begin) == position &&
        backend.Write(job.device, buffer, span, &done) && done == span) {
      return true;
    }
  }
  job.calculatorGone = backend.LastErrorKind() == platform::ErrorKind::Gone;
  try {
    job.writeErrorText = "Write Disk File: " + backend.LastErrorText();
    job.writeErrorKind = KindOfError(backend.LastErrorKind());
  } catch (...) {
    // The text is only a diagnostic.
  }
  return false;
}

void RunJob(TransferJob* job) {
  try {
    job->exitCode = WriterThread(*job);
  } catch (...) {
    job->exitCode = LINK_BUFFER_ALLOC_FAILED;  // only allocations can throw in there
  }
}

// What the discovery passes of the running entry listed, for its report.
// Under the link lock.
std::vector<std::vector<std::wstring>>* g_entryPasses = nullptr;

void ObservePass(const std::wstring* table, int32_t count) {
  if (g_entryPasses == nullptr) return;
  // Every calculator attached, also those beyond the slots: a pass that
  // left one out would make it look unplugged.
  std::vector<std::wstring>& pass = g_entryPasses->emplace_back(table, table + count);
  pass.insert(pass.end(), pathsBeyondSlots.begin(), pathsBeyondSlots.end());
}

class PassRecorder {
 public:
  explicit PassRecorder(std::vector<std::vector<std::wstring>>* passes) { g_entryPasses = passes; }
  ~PassRecorder() { g_entryPasses = nullptr; }
  PassRecorder(const PassRecorder&) = delete;
  PassRecorder& operator=(const PassRecorder&) = delete;
};

// A calculator as the platform describes it, with its code.
CalculatorReport ReportOf(const std::wstring& path, int32_t code) {
  const norza::platform::DiskIdentity identity =
      norza::platform::ActiveBackend().DescribeDisk(path);
  CalculatorReport report;
  report.interfacePath = path;
  report.deviceNode = identity.node;
  report.serial = identity.serial;
  report.port = identity.port;
  report.code = code;
  return report;
}

// Who each listed calculator is, while the lock still holds the listing.
void DescribeListed(LinkReport& report) {
  for (const std::vector<std::wstring>& pass : report.passes) {
    for (const std::wstring& path : pass) {
      const bool known =
          std::any_of(report.listed.begin(), report.listed.end(),
                      [&](const CalculatorReport& c) { return c.interfacePath == path; });
      if (!known) report.listed.push_back(ReportOf(path, LINK_OK));
    }
  }
}

// The common frame of the entries that talk to the calculators: under the
// link lock, the calculators found (with retries; passes, when given, get
// what every pass listed) and their disks open for the time of work();
// nothing throws out of an entry.
template <typename Work>
int32_t WithCalculatorDisks(const wchar_t* vendor, const wchar_t* product, LinkReport* report,
                            Work&& work) {
  try {
    std::lock_guard<std::mutex> lock(LinkMutex());
    PassRecorder recorder(report != nullptr ? &report->passes : nullptr);
    ClearFailureDetail();
    const int32_t result = [&]() -> int32_t {
      deviceCount = FindCalculatorDisksWithRetry(DevicePathTable.data(), vendor, product,
                                                 kDeviceSlots, ObservePass);
      if (report != nullptr) report->passesBefore = report->passes.size();
      if (deviceCount == 0) return LINK_NO_CALCULATOR;
      // Working on 16 of 17 would leave one behind unnoticed: the user must
      // take some away first. Not a disk is opened.
      if (calculatorsBeyondSlots > 0) return LINK_TOO_MANY_CALCULATORS;
      CalculatorDisksCloser closer;
      OpenCalculatorDisks();
      return work();
    }();
    if (report != nullptr) DescribeListed(*report);
    return result;
  } catch (...) {
    return LINK_BUFFER_ALLOC_FAILED;  // out of resources (memory, a thread, the lock)
  }
}

}  // namespace

LinkFailureKind KindOfError(platform::ErrorKind kind) {
  switch (kind) {
    case platform::ErrorKind::None: return LINK_FAILURE_OTHER;
    case platform::ErrorKind::NoAccess: return LINK_FAILURE_NO_ACCESS;
    case platform::ErrorKind::InUse: return LINK_FAILURE_IN_USE;
    case platform::ErrorKind::Gone: return LINK_FAILURE_GONE;
    case platform::ErrorKind::Other: return LINK_FAILURE_OTHER;
  }
  return LINK_FAILURE_OTHER;
}

void NoteFailure(const std::string& subject, const std::string& text, LinkFailureKind kind) {
  try {
    std::lock_guard<std::mutex> lock(g_detailMutex);
    if (g_failure.kind == LINK_FAILURE_NONE) g_failure = LinkFailure{kind, subject, text};
  } catch (...) {
    // Only a diagnostic.
  }
}

void NoteFailure(const std::string& subject) {
  platform::Backend& backend = platform::ActiveBackend();
  NoteFailure(subject, backend.LastErrorText(), KindOfError(backend.LastErrorKind()));
}

void ClearFailureDetail() {
  std::lock_guard<std::mutex> lock(g_detailMutex);
  g_failure = LinkFailure{};
}

void ChainFilter(uint8_t* buffer, uint32_t count) {
  const int32_t key = filterKey.load();
  if (key == 0) return;
  uint8_t running = static_cast<uint8_t>(key & 0xFF);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t original = buffer[i];
    buffer[i] = static_cast<uint8_t>(original ^ running);
    running = original;
  }
}

namespace {

std::string ImageName(const TransferJob& job) {
  return platform::WideToUtf8(job.imagePath ? *job.imagePath : std::wstring());
}

void AnnounceImage(const TransferJob& job) {
  if (MessageCallback callback = messageCallback.load()) {
    // The callback gets this thread's own copy of the text.
    const std::wstring text = job.messageText ? *job.messageText : std::wstring();
    callback(text.c_str());
  }
}

// Whether length bytes from target, rounded up to whole sectors, lie on a
// disk of diskSize bytes; in unsigned arithmetic, so no offset can wrap.
bool FitsOnDisk(int64_t diskSize, int64_t target, int64_t length) {
  if (target < 0 || length < 0 || target > diskSize) return false;
  const auto sector = static_cast<uint64_t>(kSectorSize);
  const uint64_t rounded = (static_cast<uint64_t>(length) + sector - 1) / sector * sector;
  return rounded <= static_cast<uint64_t>(diskSize - target);
}

// Refused before the calculator is touched: commands on a disk of larger
// sectors never reach it, and an image past the disk's end would be written
// as far as it goes, seven times over, before failing.
int32_t CheckDiskTakesImage(Backend& backend, const TransferJob& job) {
  if (job.device == kInvalidHandle) return LINK_DISK_NOT_OPEN;
  if (backend.LogicalSectorSize(job.device) != static_cast<int32_t>(kSectorSize)) {
    return LINK_SECTOR_SIZE_UNSUPPORTED;
  }
  const int64_t diskSize = backend.Size(job.device);
  if (diskSize >= 0 && !FitsOnDisk(diskSize, job.targetOffset, job.length))
    return LINK_IMAGE_TOO_LARGE;
  return LINK_OK;
}

void StartOnCalculator(const TransferJob& job) {
  PauseMs(kPhasePauseMs);
  ReadCommandWindow(job.device, false);
  SeekDevice(job.device, job.targetOffset, SeekFrom::Begin);
  ReportProgress(job.device, 0);
  PauseMs(kPhasePauseMs);
  CallProgress(job, 0);
}

constexpr const char kImageChangedText[] = "the file changed while it was being sent";

// Reads the n bytes of the image at offset; a short read means the file
// shrank under us, which must never end as success.
int32_t ReadImageChunk(Backend& backend, TransferJob& job, int64_t offset, unsigned char* buffer,
                       uint32_t wanted) {
  uint32_t n = 0;
  const bool read = backend.ReadAt(job.image, job.sourceOffset + offset, buffer, wanted, &n);
  ChainFilter(buffer, n);
  if (read && n == wanted) return LINK_OK;
  if (read) {
    JobFailed(job, ImageName(job), kImageChangedText, LINK_FAILURE_OTHER);
    return LINK_IMAGE_CHANGED;
  }
  JobFailed(job, ImageName(job));
  return LINK_IMAGE_READ_FAILED;
}

// After the last chunk: the open file must still be what it was when the
// transfer opened it, or the calculator holds a mix of two files.
int32_t CheckImageUnchanged(Backend& backend, TransferJob& job) {
  platform::FileFacts now;
  if (!backend.DescribeFile(job.image, &now)) {
    JobFailed(job, ImageName(job));
    return LINK_IMAGE_READ_FAILED;
  }
  if (now.size == job.imageFacts.size && now.modified == job.imageFacts.modified) return LINK_OK;
  JobFailed(job, ImageName(job), kImageChangedText, LINK_FAILURE_OTHER);
  return LINK_IMAGE_CHANGED;
}

// One chunk of n bytes at image offset sent, by command or positional write.
int32_t DeliverChunk(Backend& backend, TransferJob& job, unsigned char* buffer, uint32_t n,
                     int64_t sent) {
  if (job.useCommandPath != 0) {
    return SendImageData(job.device, buffer, n, sent) ? LINK_OK : LINK_DATA_NOT_ACKED;
  }
  if (WriteChunk(backend, job, job.targetOffset + sent, buffer, n)) return LINK_OK;
  JobFailed(job, DeviceSubject(job), job.writeErrorText, job.writeErrorKind);
  return LINK_WRITE_FAILED;
}

int32_t SendImage(Backend& backend, TransferJob& job, unsigned char* buffer) {
  int64_t remaining = job.length;
  int64_t sent = 0;  // also the image offset of the next chunk
  int32_t lastPercent = 0;
  while (remaining > 0) {
    const uint32_t n = remaining < kChunkSize ? static_cast<uint32_t>(remaining) : kChunkSize;
    if (const int32_t code = ReadImageChunk(backend, job, sent, buffer, n); code != LINK_OK)
      return code;
    if (const int32_t code = DeliverChunk(backend, job, buffer, n, sent); code != LINK_OK)
      return code;
    if (remaining <= kChunkSize) {
      if (const int32_t code = CheckImageUnchanged(backend, job); code != LINK_OK) return code;
      if (job.useCommandPath == 0) return LINK_OK;
      if (!CheckImageSize(job.device, static_cast<uint32_t>(job.length)))
        return LINK_SIZE_CHECK_FAILED;
      NotifyProgress(job, 100);
      return LINK_OK;
    }
    sent += kChunkSize;
    remaining -= kChunkSize;
    const auto percent =
        static_cast<int32_t>(static_cast<double>(sent) * 100.0 / static_cast<double>(job.length));
    if (percent > lastPercent) {
      // 100 is kept for the end of a successful transfer.
      lastPercent = percent >= 100 ? 99 : percent;
      NotifyProgress(job, lastPercent);
    }
  }
  return LINK_OK;
}

// Data the disk did not take is not written: a calculator that vanished right
// after the last chunk fails here.
int32_t FinishOnCalculator(Backend& backend, TransferJob& job, int32_t result) {
  if (!backend.Flush(job.device) && result == LINK_OK) {
    job.calculatorGone = backend.LastErrorKind() == platform::ErrorKind::Gone;
    JobFailed(job, DeviceSubject(job));
    result = LINK_FLUSH_FAILED;
  }
  PauseMs(kPhasePauseMs);
  if (result == LINK_OK) {
    NotifyProgress(job, 100);
    ReadCommandWindow(job.device, true);
    PauseMs(kPhasePauseMs);
  }
  return result;
}

}  // namespace

int32_t WriterThread(TransferJob& job) {
  Backend& backend = platform::ActiveBackend();
  AlignedBuffer buffer(kChunkSize);
  if (!buffer) return LINK_BUFFER_ALLOC_FAILED;
  if (job.image == kInvalidHandle) return LINK_IMAGE_OPEN_FAILED;

  AnnounceImage(job);
  if (const int32_t code = CheckDiskTakesImage(backend, job); code != LINK_OK) return code;
  StartOnCalculator(job);
  const int32_t result = SendImage(backend, job, buffer.data());
  return FinishOnCalculator(backend, job, result);
}

bool StartWriterThread(std::thread& thread, TransferJob& job) {
  try {
    thread = std::thread(RunJob, &job);
    return true;
  } catch (...) {
    return false;
  }
}

void SetThreadStarterForTesting(ThreadStarter starter) { g_threadStarter.store(starter); }

namespace {

bool SameFile(const ImageFileFacts& examined, const platform::FileFacts& now) {
  return examined.size == now.size && examined.volume == now.volume &&
         examined.index == now.index && examined.modified == now.modified;
}

// Opens the image once for the whole transfer; it must be a regular file
// that is not empty and, when it was examined before, still that file.
int32_t OpenImage(Backend& backend, const TransferRequest& request, FileCloser* closer,
                  platform::FileFacts* facts) {
  const std::string name = platform::WideToUtf8(request.imagePath);
  const Handle image = backend.OpenFileForReading(request.imagePath);
  if (image == kInvalidHandle) {
    NoteFailure(name);
    return LINK_IMAGE_OPEN_FAILED;
  }
  closer->Reset(image);
  if (!backend.DescribeFile(image, facts)) {
    NoteFailure(name);
    return LINK_IMAGE_READ_FAILED;
  }
  if (request.examined != nullptr && !SameFile(*request.examined, *facts)) {
    NoteFailure(name, "the file changed after it was checked", LINK_FAILURE_OTHER);
    return LINK_IMAGE_CHANGED;
  }
  if (!facts->regular || facts->size <= 0) {
    NoteFailure(name, facts->regular ? "the file is empty" : "not a regular file",
                LINK_FAILURE_OTHER);
    return LINK_IMAGE_UNUSABLE;
  }
  return LINK_OK;
}

}  // namespace

int32_t RunTransferJobs(const TransferRequest& request, CalculatorCodes* codes,
                        CalculatorFlags* gone, JobOutcomes* outcomes) {
  if (request.requestKind >= 3) return LINK_BAD_REQUEST_KIND;
  ThreadStarter start = g_threadStarter.load();
  if (start == nullptr) start = StartWriterThread;
  const int32_t count = deviceCount < kDeviceSlots ? deviceCount : kDeviceSlots;
  CalculatorFlags chosen{};
  for (int32_t i = 0; i < count; ++i) {
    chosen[i] = request.only == nullptr || std::find(request.only->begin(), request.only->end(),
                                                     DevicePathTable[i]) != request.only->end();
  }

  Backend& backend = platform::ActiveBackend();
  FileCloser imageCloser(backend, kInvalidHandle);
  platform::FileFacts facts;
  if (const int32_t code = OpenImage(backend, request, &imageCloser, &facts); code != LINK_OK) {
    // Not a calculator was touched.
    for (int32_t i = 0; i < count; ++i) {
      if (codes != nullptr) (*codes)[i] = code;
      if (outcomes != nullptr && chosen[i]) {
        outcomes->codes[i] = code;
        outcomes->written[i] = true;
        outcomes->failures[i] = LastLinkFailure();
      }
    }
    return code;
  }

  std::array<TransferJob, kDeviceSlots> jobs;
  std::array<std::thread, kDeviceSlots> threads;
  std::array<bool, kDeviceSlots> started{};
  for (int32_t i = 0; i < count; ++i) {
    if (!chosen[i]) continue;
    TransferJob& job = jobs[i];
    if (DeviceHandleTable[i] == kInvalidHandle) job.failure = DiskOpenFailures[i];
    job.device = DeviceHandleTable[i];
    job.devicePath = &DevicePathTable[i];
    job.image = imageCloser.Get();
    job.imageFacts = facts;
    job.targetOffset = request.targetOffset;
    job.sourceOffset = request.sourceOffset;
    job.length = facts.size;
    job.imagePath = &request.imagePath;
    job.messageText = &request.messageText;
    job.useCommandPath = static_cast<int32_t>(request.useCommandPath);
    started[i] = start(threads[i], job);
    // A calculator whose thread did not start was not written: it fails.
    if (!started[i]) job.exitCode = LINK_NO_WRITER_THREAD;
  }

  int32_t result = LINK_OK;
  for (int32_t i = 0; i < count; ++i) {
    if (!chosen[i]) continue;
    if (started[i]) threads[i].join();
    TransferJob& job = jobs[i];
    if (job.exitCode == LINK_DISK_NOT_OPEN && job.failure.kind == LINK_FAILURE_GONE)
      job.calculatorGone = true;
    if (codes != nullptr) (*codes)[i] = job.exitCode;
    if (gone != nullptr) (*gone)[i] = job.calculatorGone;
    if (outcomes != nullptr) {
      outcomes->codes[i] = job.exitCode;
      outcomes->gone[i] = job.calculatorGone;
      outcomes->written[i] = true;
      outcomes->failures[i] = job.failure;
    }
    if (result == LINK_OK) result = job.exitCode;
  }
  return result;
}

}  // namespace norza::link

namespace {

using norza::link::ReportOf;

std::vector<std::wstring> AttachedCalculators() {
  using namespace norza::link;
  return std::vector<std::wstring>(DevicePathTable.begin(), DevicePathTable.begin() + deviceCount);
}

// One listing after a failed transfer, with the disks closed: a calculator
// that was pulled is not in it, even when it is back before the next poll.
void NoteWhoIsStillThere(const wchar_t* vendor, const wchar_t* product) {
  using namespace norza::link;
  CloseCalculatorDisks();
  std::array<std::wstring, kDeviceSlots> table;
  const int32_t count = FindCalculatorDisks(table.data(), vendor, product, kDeviceSlots);
  ObservePass(table.data(), count);
}

bool Chosen(const std::vector<std::wstring>* only, const std::wstring& path) {
  return only == nullptr || std::find(only->begin(), only->end(), path) != only->end();
}

// Those of only that the entry did not find attached: 119 each.
void ReportMissing(const std::vector<std::wstring>* only, LinkReport& report) {
  if (only == nullptr) return;
  for (const std::wstring& path : *only) {
    const bool found =
        std::any_of(report.calculators.begin(), report.calculators.end(),
                    [&](const CalculatorReport& c) { return c.interfacePath == path; });
    if (found) continue;
    CalculatorReport missing = ReportOf(path, LINK_CALCULATOR_MISSING);
    missing.gone = true;
    report.calculators.push_back(std::move(missing));
  }
}

}  // namespace

int32_t ListCalculators(const wchar_t* vendor, const wchar_t* product, LinkReport* report) {
  using namespace norza::link;
  LinkReport local;
  LinkReport& out = report != nullptr ? *report : local;
  out = LinkReport{};
  try {
    std::lock_guard<std::mutex> lock(LinkMutex());
    PassRecorder recorder(&out.passes);
    const int32_t count =
        FindCalculatorDisks(DevicePathTable.data(), vendor, product, kDeviceSlots);
    ObservePass(DevicePathTable.data(), count);
    out.passesBefore = out.passes.size();
    for (int32_t i = 0; i < count; ++i) out.calculators.push_back(ReportOf(DevicePathTable[i], 0));
    out.result = count > 0 ? LINK_OK : LINK_NO_CALCULATOR;
    if (calculatorsBeyondSlots > 0) out.result = LINK_TOO_MANY_CALCULATORS;
  } catch (...) {
    out.result = LINK_BUFFER_ALLOC_FAILED;
  }
  return out.result;
}

int32_t TransferImage(const wchar_t* vendor, const wchar_t* product, const TransferOrder& order,
                      LinkReport* report) {
  using namespace norza::link;
  LinkReport local;
  LinkReport& out = report != nullptr ? *report : local;
  out = LinkReport{};
  out.result = WithCalculatorDisks(vendor, product, &out, [&] {
    const std::vector<std::wstring> attached = AttachedCalculators();
    progressCallback.store(order.progress);
    messageCallback.store(order.message);
    calculatorProgressCallback.store(order.calculatorProgress);
    calculatorProgressContext.store(order.context);
    TransferRequest request;
    request.imagePath = order.imagePath != nullptr ? order.imagePath : L"";
    request.messageText = request.imagePath;
    request.targetOffset = order.targetOffset;
    request.examined = order.examined;
    request.only = order.only;
    JobOutcomes outcomes;
    const int32_t result = RunTransferJobs(request, nullptr, nullptr, &outcomes);
    calculatorProgressCallback.store(nullptr);
    bool anyFailed = false;
    for (std::size_t i = 0; i < attached.size(); ++i) {
      if (!outcomes.written[i]) continue;
      CalculatorReport calculator = ReportOf(attached[i], outcomes.codes[i]);
      calculator.gone = outcomes.gone[i];
      calculator.failure = outcomes.failures[i];
      anyFailed = anyFailed || calculator.code != LINK_OK;
      out.calculators.push_back(std::move(calculator));
    }
    if (anyFailed) NoteWhoIsStillThere(vendor, product);
    return result;
  });
  ReportMissing(order.only, out);
  if (out.result == LINK_OK &&
      out.calculators.size() != static_cast<std::size_t>(std::count_if(
                                    out.calculators.begin(), out.calculators.end(),
                                    [](const CalculatorReport& c) { return c.code == LINK_OK; })))
    out.result = LINK_CALCULATOR_MISSING;
  return out.result;
}

int32_t FinishCalculators(const wchar_t* vendor, const wchar_t* product,
                          const std::vector<std::wstring>* only, bool onlyThese,
                          LinkReport* report) {
  using namespace norza::link;
  LinkReport local;
  LinkReport& out = report != nullptr ? *report : local;
  out = LinkReport{};
  out.result = WithCalculatorDisks(vendor, product, &out, [&]() -> int32_t {
    const std::vector<std::wstring> attached = AttachedCalculators();
    bool others = false;
    for (std::size_t i = 0; i < attached.size(); ++i) {
      if (Chosen(only, attached[i])) {
        out.calculators.push_back(ReportOf(attached[i], LINK_OK));
      } else if (onlyThese) {
        // Found at the finish: it holds nothing of the update yet.
        out.calculators.push_back(ReportOf(attached[i], LINK_UPDATE_INCOMPLETE));
        others = true;
      }
    }
    ReportMissing(only, out);
    const auto refuse = [&](int32_t code) {
      for (CalculatorReport& calculator : out.calculators) {
        if (calculator.code == LINK_OK) calculator.code = code;
      }
      return code;
    };
    for (const CalculatorReport& calculator : out.calculators) {
      if (calculator.code == LINK_CALCULATOR_MISSING) return refuse(LINK_CALCULATOR_MISSING);
    }
    if (others) return refuse(LINK_UPDATE_INCOMPLETE);
    // All or none: a calculator left in update mode must not be the only one.
    for (int32_t i = 0; i < deviceCount; ++i) {
      if (!Chosen(only, attached[i]) || DeviceHandleTable[i] != norza::platform::kInvalidHandle)
        continue;
      for (CalculatorReport& calculator : out.calculators) {
        if (calculator.interfacePath == attached[i]) calculator.failure = DiskOpenFailures[i];
      }
      return refuse(LINK_DISK_NOT_OPEN);
    }
    int32_t result = LINK_OK;
    CalculatorCodes codes{};
    for (int32_t i = 0; i < deviceCount; ++i) {
      if (!Chosen(only, attached[i])) continue;
      ReadCommandWindow(DeviceHandleTable[i], false);
      codes[i] = SendFinish(DeviceHandleTable[i]) ? LINK_OK : LINK_WRITE_FAILED;
      for (CalculatorReport& calculator : out.calculators) {
        if (calculator.interfacePath == attached[i]) calculator.code = codes[i];
      }
      if (codes[i] != LINK_OK && result == LINK_OK) result = LINK_WRITE_FAILED;
    }
    return result;
  });
  if (out.result == LINK_NO_CALCULATOR) ReportMissing(only, out);
  return out.result;
}

int32_t DownloadImage(const wchar_t* vendor, const wchar_t* product, const wchar_t* imagePath,
                      int64_t targetOffset, ProgressCallback progress, MessageCallback message) {
  TransferOrder order;
  order.imagePath = imagePath;
  order.targetOffset = targetOffset;
  order.progress = progress;
  order.message = message;
  return TransferImage(vendor, product, order, nullptr);
}

int32_t ExamineImageFile(const wchar_t* path, ImageFileFacts* facts, std::string* reason) {
  using namespace norza::platform;
  const auto fail = [reason](int32_t code, std::string text) {
    if (reason != nullptr) *reason = std::move(text);
    return code;
  };
  try {
    Backend& backend = ActiveBackend();
    const Handle file = backend.OpenFileForReading(path != nullptr ? path : L"");
    if (file == kInvalidHandle) return fail(LINK_IMAGE_OPEN_FAILED, backend.LastErrorText());
    FileFacts now;
    const bool described = backend.DescribeFile(file, &now);
    const std::string error = described ? std::string() : backend.LastErrorText();
    backend.Close(file);
    if (!described) return fail(LINK_IMAGE_READ_FAILED, error);
    if (!now.regular) return fail(LINK_IMAGE_UNUSABLE, "not a regular file");
    if (now.size <= 0) return fail(LINK_IMAGE_UNUSABLE, "the file is empty");
    if (facts != nullptr) *facts = ImageFileFacts{now.size, now.volume, now.index, now.modified};
    return LINK_OK;
  } catch (...) {
    return LINK_BUFFER_ALLOC_FAILED;
  }
}

int32_t FinishUpdate(const wchar_t* vendor, const wchar_t* product) {
  using namespace norza::link;
  return WithCalculatorDisks(vendor, product, nullptr, [&] {
    for (int32_t i = 0; i < deviceCount; ++i) {
      if (DeviceHandleTable[i] == norza::platform::kInvalidHandle) continue;
      ReadCommandWindow(DeviceHandleTable[i], false);
      SendFinish(DeviceHandleTable[i]);
    }
    return static_cast<int32_t>(LINK_OK);
  });
}

std::string CalculatorSource() { return norza::platform::ActiveBackend().CalculatorSource(); }

int64_t GetImageFileSize(const wchar_t* path) {
  using namespace norza::platform;
  if (path == nullptr) return 0;
  Backend& backend = ActiveBackend();
  Handle file = kInvalidHandle;
  try {
    file = backend.OpenFileForReading(path);
  } catch (...) {
    return 0;
  }
  if (file == kInvalidHandle) return 0;
  const int64_t size = backend.Size(file);
  backend.Close(file);
  return size < 0 ? 0 : size;
}

const char* LinkResultMeaning(int32_t code) {
  switch (code) {
    case LINK_OK: return "success";
    case LINK_NO_CALCULATOR: return "no calculator in update mode was found";
    case LINK_IMAGE_OPEN_FAILED: return "the image file cannot be opened";
    case LINK_BAD_REQUEST_KIND: return "the transfer request is not supported";
    case LINK_DISK_NOT_OPEN: return "the calculator's disk cannot be opened (no access, or in use)";
    case LINK_NO_WRITER_THREAD: return "no writer thread could be started for a calculator";
    case LINK_IMAGE_READ_FAILED: return "reading the image file failed";
    case LINK_BUFFER_ALLOC_FAILED: return "out of memory";
    case LINK_WRITE_FAILED: return "writing to the calculator's disk failed";
    case LINK_FLUSH_FAILED: return "the calculator's disk did not take the written data";
    case LINK_DATA_NOT_ACKED: return "the calculator did not acknowledge the data";
    case LINK_SIZE_CHECK_FAILED: return "the calculator did not receive the whole image";
    case LINK_CALCULATOR_MISSING: return "a calculator of this update is not connected";
    case LINK_UPDATE_INCOMPLETE: return "a connected calculator does not hold every image yet";
    case LINK_TOO_MANY_CALCULATORS: return "more than 16 calculators are connected";
    case LINK_SECTOR_SIZE_UNSUPPORTED: return "the disk does not have 512-byte sectors";
    case LINK_IMAGE_TOO_LARGE: return "the image does not fit on the calculator's disk";
    case LINK_IMAGE_CHANGED: return "the image file changed after it was checked";
    case LINK_IMAGE_UNUSABLE: return "the image file is empty or not a regular file";
    default: return "unknown result code";
  }
}

std::string LinkFailureDetail() {
  const LinkFailure failure = LastLinkFailure();
  if (failure.kind == LINK_FAILURE_NONE) return {};
  return failure.subject + ": " + failure.systemText;
}

LinkFailure LastLinkFailure() {
  std::lock_guard<std::mutex> lock(norza::link::g_detailMutex);
  return norza::link::g_failure;
}
