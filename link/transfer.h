// Streaming an image file to every attached calculator, one writer thread
// each, and the finishing command.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "discovery.h"
#include "link.h"
#include "platform.h"

namespace norza::link {

inline constexpr uint32_t kChunkSize = 16384;
inline constexpr int kWriteAttempts = 7;
inline constexpr int kPhasePauseMs = 100;

// Set by DownloadImage before any writer thread starts, read by the writer
// threads.
extern std::atomic<ProgressCallback> progressCallback;
extern std::atomic<MessageCallback> messageCallback;
extern std::atomic<CalculatorProgressCallback> calculatorProgressCallback;
extern std::atomic<void*> calculatorProgressContext;

// Key of the ChainFilter stage; 0 (the only value the updater uses) leaves
// image bytes unchanged.
extern std::atomic<int32_t> filterKey;

struct TransferRequest {
  uint32_t requestKind = 0;     // 3 or more is refused with 106
  int64_t targetOffset = 0;     // byte offset on the calculator's disk
  int64_t sourceOffset = 0;     // byte offset in the image file
  int64_t length = 0;           // bytes to send: the size of the file as RunTransferJobs opens it
  std::wstring imagePath;       // whole path, never cut
  std::wstring messageText;     // handed to the MessageCallback
  uint32_t useCommandPath = 0;  // non-zero: data by CMD_DATA blocks
  // The file as it was examined before; when given, the transfer sends the
  // file only while it is still that one.
  const ImageFileFacts* examined = nullptr;
  // Only the calculators with these interface paths get a writer thread;
  // nullptr: every one.
  const std::vector<std::wstring>* only = nullptr;
};

// One per calculator. The writer thread owns the job while it runs; the
// starting thread reads exitCode and writeErrorText only after joining it.
struct TransferJob {
  platform::Handle device = platform::kInvalidHandle;
  // The image, opened once for the whole transfer and read at offsets by
  // every writer thread, and what it was when it was opened.
  platform::Handle image = platform::kInvalidHandle;
  platform::FileFacts imageFacts;
  int64_t targetOffset = 0;
  int64_t sourceOffset = 0;
  int64_t length = 0;
  const std::wstring* imagePath = nullptr;
  const std::wstring* messageText = nullptr;
  int32_t useCommandPath = 0;
  int32_t exitCode = 0;
  // The platform's text for the 7th failed write ("Write Disk File: ..."),
  // which becomes the failure's detail (the updater logs it).
  std::string writeErrorText;
  LinkFailureKind writeErrorKind = LINK_FAILURE_OTHER;
  // The platform said the calculator was not there at a failed write or
  // flush: whatever it held of this update may have gone with it.
  bool calculatorGone = false;
  // The first failure of this calculator, as the platform told it.
  LinkFailure failure;
  // The calculator's interface path, for reports; may be null.
  const std::wstring* devicePath = nullptr;
};

// The link's kind of a platform failure.
LinkFailureKind KindOfError(platform::ErrorKind kind);

// Keeps the first failure of the running entry (any thread): what it was
// about, and the backend's account of the calling thread's last error.
void NoteFailure(const std::string& subject);
// The same with a text of the link's own instead of the backend's.
void NoteFailure(const std::string& subject, const std::string& text, LinkFailureKind kind);
void ClearFailureDetail();

// XOR chain with the key's low byte; the chain restarts for every buffer.
void ChainFilter(uint8_t* buffer, uint32_t count);

// The result code of one calculator.
int32_t WriterThread(TransferJob& job);

// Each calculator's code, in table order.
using CalculatorCodes = std::array<int32_t, kDeviceSlots>;

// Which calculators of the table a transfer found gone (see calculatorGone).
using CalculatorFlags = std::array<bool, kDeviceSlots>;

// Everything RunTransferJobs learnt of each calculator, in table order.
struct JobOutcomes {
  CalculatorCodes codes{};
  CalculatorFlags gone{};
  CalculatorFlags written{};  // it was chosen and had a writer thread to try
  std::array<LinkFailure, kDeviceSlots> failures;
};

// Opens the request's image once, checks it (105 when it cannot be opened;
// 125 when it is empty or no regular file; 124 when it is not the file that
// was examined) and, only then, runs one writer thread per calculator of
// DeviceHandleTable[0..deviceCount), each reading that one handle. 0, or the
// code of the first calculator in table order that failed. A calculator
// whose thread cannot be started fails with 108. codes, when given, receives
// every calculator's code, gone which of them the platform found gone.
// Calculators the request does not choose are neither written nor counted.
int32_t RunTransferJobs(const TransferRequest& request, CalculatorCodes* codes = nullptr,
                        CalculatorFlags* gone = nullptr, JobOutcomes* outcomes = nullptr);

// How RunTransferJobs starts a thread; tests replace it to make starts fail.
using ThreadStarter = bool (*)(std::thread& thread, TransferJob& job);
// The default: a std::thread running WriterThread; false when it cannot start.
bool StartWriterThread(std::thread& thread, TransferJob& job);
void SetThreadStarterForTesting(ThreadStarter starter);  // nullptr: the default

}  // namespace norza::link
