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

// The calculator's USB identity in update mode.
inline constexpr const wchar_t* kCalculatorVendor = L"ZK";
inline constexpr const wchar_t* kCalculatorProduct = L"Norza update";

// Link result codes.
enum LinkResult : int32_t {
  LINK_OK = 0,
  LINK_NO_CALCULATOR = 104,        // the retrying discovery found nothing
  LINK_IMAGE_OPEN_FAILED = 105,    // the image file cannot be opened
  LINK_BAD_REQUEST_KIND = 106,     // request kind 3 or more; no thread started
  LINK_DISK_NOT_OPEN = 107,        // the calculator's disk handle is invalid
  LINK_NO_WRITER_THREAD = 108,     // not a single writer thread could be started
  LINK_IMAGE_READ_FAILED = 109,    // reading the image failed or came back short
  LINK_BUFFER_ALLOC_FAILED = 110,  // the transfer buffer cannot be allocated
  LINK_WRITE_FAILED = 112,         // a chunk write failed 7 times in a row
  LINK_DATA_NOT_ACKED = 117,       // a CMD_DATA block was not acknowledged
  LINK_SIZE_CHECK_FAILED = 118,    // the final CMD_CHECK_SIZE failed
};

// Called on the writer threads, possibly from several at once.
using ProgressCallback = void (*)(int32_t percent);
using MessageCallback = void (*)(const wchar_t* text);

// One discovery pass: true when at least one calculator disk is present.
// Does not retry and does not change the device count of the transfer.
bool IsCalculatorAttached(const wchar_t* vendor, const wchar_t* product);

// Streams one image file to every attached calculator, one writer thread
// each, and blocks until all have ended. Returns 0 or the code of the first
// calculator (in discovery order) that failed.
int32_t DownloadImage(const wchar_t* vendor, const wchar_t* product,
                      const wchar_t* imagePath, int64_t targetOffset,
                      ProgressCallback progress, MessageCallback message);

// Sends CMD_FINISH to every attached calculator. 0, or 104 when none is found.
int32_t FinishUpdate(const wchar_t* vendor, const wchar_t* product);

// Size of a file in bytes, 0 when it cannot be opened.
int64_t GetImageFileSize(const wchar_t* path);
