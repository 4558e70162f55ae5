// Public face of the mass-storage link: find calculators in update mode, write
// firmware images to them, and tell them the update is over.
//
// Plain functions over process-wide tables. Nothing here throws; failures are
// link result codes. Discovery passes, transfers and FinishUpdate are
// serialized by one lock inside the link, so callers on different threads
// never see each other's tables half-written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The calculator's USB identity in update mode.
inline constexpr const wchar_t* kCalculatorVendor = L"ZK";
inline constexpr const wchar_t* kCalculatorProduct = L"Norza update";

// Link result codes.
enum LinkResult : int32_t {
  LINK_OK = 0,
  LINK_NO_CALCULATOR = 104,            // the retrying discovery found nothing
  LINK_IMAGE_OPEN_FAILED = 105,        // the image file cannot be opened
  LINK_BAD_REQUEST_KIND = 106,         // request kind 3 or more; no thread started
  LINK_DISK_NOT_OPEN = 107,            // the calculator's disk handle is invalid
  LINK_NO_WRITER_THREAD = 108,         // not a single writer thread could be started
  LINK_IMAGE_READ_FAILED = 109,        // reading the image failed or came back short
  LINK_BUFFER_ALLOC_FAILED = 110,      // the transfer buffer cannot be allocated
  LINK_WRITE_FAILED = 112,             // a chunk write failed 7 times in a row
  LINK_FLUSH_FAILED = 113,             // the disk did not take the written data (flush failed)
  LINK_DATA_NOT_ACKED = 117,           // a CMD_DATA block was not acknowledged
  LINK_SIZE_CHECK_FAILED = 118,        // the final CMD_CHECK_SIZE failed
  LINK_CALCULATOR_MISSING = 119,       // a calculator of this update is not attached
  LINK_UPDATE_INCOMPLETE = 120,        // an attached calculator lacks an image: no CMD_FINISH
  LINK_TOO_MANY_CALCULATORS = 121,     // more than 16 attached: nothing written or finished
  LINK_SECTOR_SIZE_UNSUPPORTED = 122,  // the disk's logical sectors are not 512 bytes
  LINK_IMAGE_TOO_LARGE = 123,          // the image would run past the end of the disk
  LINK_IMAGE_CHANGED = 124,   // the image file is not the one examined, or changed meanwhile
  LINK_IMAGE_UNUSABLE = 125,  // the image file is empty or not a regular file
};

// What a result code means, in one English sentence (for the command-line
// tools); "unknown result code" for anything else.
const char* LinkResultMeaning(int32_t code);

// The first failure of the last entry as the platform
// told it: what it was about (a disk or an image file), the system's error
// text, and what kind of failure a user can act on.
enum LinkFailureKind : int32_t {
  LINK_FAILURE_NONE = 0,
  LINK_FAILURE_NO_ACCESS,  // permission denied
  LINK_FAILURE_IN_USE,     // mounted, or held by another program
  LINK_FAILURE_GONE,       // not there (any more)
  LINK_FAILURE_OTHER,
};
struct LinkFailure {
  LinkFailureKind kind = LINK_FAILURE_NONE;
  std::string subject;     // UTF-8: the disk's node or path, or the image file
  std::string systemText;  // UTF-8, e.g. "Permission denied (errno 13)"
};
LinkFailure LastLinkFailure();
// "subject: system text", or empty.
std::string LinkFailureDetail();

// What an image file was when it was examined. A transfer that is given it
// sends the file only while it is still that file: the same size, the same
// file (not another one written over its name) and not written since.
struct ImageFileFacts {
  int64_t size = 0;
  uint64_t volume = 0;
  uint64_t index = 0;
  int64_t modified = 0;
};

// Called on the writer threads, possibly from several at once.
using ProgressCallback = void (*)(int32_t percent);
using MessageCallback = void (*)(const wchar_t* text);
// The same progress with the calculator it is about, and the caller's
// context.
using CalculatorProgressCallback = void (*)(void* context, const wchar_t* interfacePath,
                                            int32_t percent);

// One calculator as a link entry saw it.
struct CalculatorReport {
  std::wstring interfacePath;
  std::wstring deviceNode;  // empty when the platform cannot tell
  std::string serial;
  std::string port;  // the USB port, where the platform tells it
  int32_t code = 0;
  bool gone = false;    // the platform said it was not there
  LinkFailure failure;  // its own failure, when code is not 0
};

// What an entry did, kept by the caller (nothing of it is lost to the next
// entry): its result, every calculator it found (table order) with its
// outcome, and what each of its discovery passes listed.
struct LinkReport {
  int32_t result = 0;
  std::vector<CalculatorReport> calculators;
  std::vector<std::vector<std::wstring>> passes;
  // How many of the passes came before the entry's work; the others (one
  // look after a failed transfer) came after it.
  std::size_t passesBefore = 0;
  // Who each calculator the passes listed is (interface path, node, serial,
  // port; code 0), as the platform told it during the entry.
  std::vector<CalculatorReport> listed;
};

// One image to the chosen calculators.
struct TransferOrder {
  const wchar_t* imagePath = nullptr;
  const ImageFileFacts* examined = nullptr;  // the file as checked before, if it was
  int64_t targetOffset = 0;
  // Only these (by interface path), as far as they are attached; the ones
  // not attached are reported with 119. nullptr: every attached calculator.
  const std::vector<std::wstring>* only = nullptr;
  ProgressCallback progress = nullptr;
  MessageCallback message = nullptr;
  CalculatorProgressCallback calculatorProgress = nullptr;
  void* context = nullptr;
};

// One discovery pass: true when at least one calculator disk is present.
// Does not retry and does not change the device count of the transfer.
bool IsCalculatorAttached(const wchar_t* vendor, const wchar_t* product);

// 0 with the file's facts; 105 when it cannot be opened; 125 when it is
// empty or not a regular file (a FIFO, a device, a folder). Never waits for
// a writer of a FIFO. reason, when given, gets what was wrong in words.
int32_t ExamineImageFile(const wchar_t* path, ImageFileFacts* facts, std::string* reason = nullptr);

// Streams one image file to every attached calculator, one writer thread
// each, and blocks until all have ended. The file is opened once and sent as
// it is then; 125 when it is empty or not a regular file, 124 for every
// calculator when it changed while it was being sent. Returns 0 or the code
// of the first calculator (in discovery order) that failed; 121 (nothing
// written) when more calculators are attached than the link has slots.
int32_t DownloadImage(const wchar_t* vendor, const wchar_t* product, const wchar_t* imagePath,
                      int64_t targetOffset, ProgressCallback progress, MessageCallback message);

// Tells every attached calculator that the update is over (CMD_FINISH).
// 104 when no calculator is found, 121 when more are attached than the link
// has slots. Whether an update may be finished is its session's to decide
// (FinishCalculators below); this entry serves norza-link finish.
int32_t FinishUpdate(const wchar_t* vendor, const wchar_t* product);

// Empty when the calculators are the machine's own disks; otherwise what
// they are ("emulated calculators in DIR"). The programs show it, so a
// setting left in an environment cannot pass for a real update.
std::string CalculatorSource();

// The chosen calculators' entries, beside the two above, which mean "every
// attached calculator". They keep no ledger: the caller's update session
// decides what to send, and to whom; report receives what happened.
//
// One discovery pass: the calculators attached now (report->calculators).
int32_t ListCalculators(const wchar_t* vendor, const wchar_t* product, LinkReport* report);
// Writes the image to the chosen calculators (TransferOrder::only) that are
// attached; 0, or the first failure in table order.
int32_t TransferImage(const wchar_t* vendor, const wchar_t* product, const TransferOrder& order,
                      LinkReport* report);
// Tells the chosen calculators (nullptr: every attached one) that the update
// is over. 119 when one of them is not attached; with onlyThese, 120 when
// another calculator is attached (it is reported, and nobody is told); 107
// when a disk cannot be opened (nobody is told). 112 when a finishing
// command could not be written.
int32_t FinishCalculators(const wchar_t* vendor, const wchar_t* product,
                          const std::vector<std::wstring>* only, bool onlyThese,
                          LinkReport* report);

// Size of a file in bytes, 0 when it cannot be opened.
int64_t GetImageFileSize(const wchar_t* path);
