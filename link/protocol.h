// The sector command protocol: 512-byte command blocks written to the
// calculator's disk at sector 170 and read back as its reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "discovery.h"
#include "link.h"
#include "platform.h"

namespace norza::link {

using platform::Handle;

inline constexpr int64_t COMMAND_WINDOW_OFFSET = 87040;  // sector 170
inline constexpr uint32_t kCommandMagic = 0xAA5555AA;
inline constexpr uint32_t kCommandSignature = 0x44435842;  // "BXCD"
inline constexpr uint32_t kCommandBlockSize = 512;
inline constexpr uint32_t kReplyAccepted = 0x80000000;
inline constexpr uint32_t kMaxDataPayload = 256;
inline constexpr uint32_t kWindowReadBefore = 15360;  // 30 sectors
inline constexpr uint32_t kWindowReadAfter = 15872;   // 31 sectors
inline constexpr uint32_t kWindowScratchSize = 16384;
inline constexpr int kProgressAttempts = 6;

enum CommandCode : uint32_t {
  CMD_FINISH = 0xBEC1,
  CMD_DATA = 0xBEC6,
  CMD_CHECK_SIZE = 0xBEC7,
  CMD_PROGRESS = 0xBEDC,
};

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "command blocks are laid out for little-endian hosts"
#endif

// All fields little-endian, as the calculator reads them.
struct CommandBlock {
  uint32_t magic;
  uint32_t signature;
  uint32_t blockLength;
  uint32_t commandCode;
  uint32_t parameter;
  uint8_t payload[kMaxDataPayload];
  uint8_t unused[kCommandBlockSize - 20 - kMaxDataPayload];
};
static_assert(sizeof(CommandBlock) == kCommandBlockSize);
static_assert(offsetof(CommandBlock, commandCode) == 12);
static_assert(offsetof(CommandBlock, payload) == 20);

// Only the reply code and value are meaningful.
struct ReplyBlock {
  uint8_t head[12];
  uint32_t replyCode;
  uint32_t replyValue;
  uint8_t rest[kCommandBlockSize - 20];
};
static_assert(sizeof(ReplyBlock) == kCommandBlockSize);
static_assert(offsetof(ReplyBlock, replyCode) == 12);
static_assert(offsetof(ReplyBlock, replyValue) == 16);

// Zeroed block with magic, signature, length, code and parameter set.
CommandBlock MakeCommandBlock(uint32_t code, uint32_t parameter);

// Handles parallel to DevicePathTable; kInvalidHandle where a disk did not
// open. Filled and emptied under LinkMutex() while no writer thread runs.
extern std::array<Handle, kDeviceSlots> DeviceHandleTable;
// Why a slot's disk did not open (kind NONE when it did), set with it.
extern std::array<LinkFailure, kDeviceSlots> DiskOpenFailures;

// Opens the first deviceCount paths; returns how many opened.
int32_t OpenCalculatorDisks();
// Closes the valid handles among the first deviceCount and marks them invalid.
void CloseCalculatorDisks();

// New position, or -1 when the platform reports an error.
int64_t SeekDevice(Handle device, int64_t distance, platform::SeekFrom method);

// Writes the block at the command window and reads the reply from there; the
// read is tried even when the write failed. The position is restored. Blocks
// and replies are at most 512 bytes (a shorter block is sent zero-padded).
bool TransactBlock(Handle device, const void* block, uint32_t blockLength, void* reply,
                   uint32_t replyLength);
// The write half of TransactBlock.
bool PostBlock(Handle device, const void* block, uint32_t blockLength);

bool SendCommand(Handle device, uint32_t code, uint32_t parameter, uint32_t* replyCode,
                 uint32_t* replyValue);
// Up to six attempts until the calculator acknowledges.
bool ReportProgress(Handle device, int32_t percent);
bool CheckImageSize(Handle device, uint32_t totalLength);
// CMD_DATA blocks of up to 256 bytes; the parameter carries the low 16 bits
// of the image offset and the byte count.
bool SendImageData(Handle device, const uint8_t* data, uint32_t length, int64_t imageOffset);
bool SendFinish(Handle device);
// Reads 30 (or, after a transfer, 31) sectors from the command window and
// drops them; the position is left after them. Always true.
bool ReadCommandWindow(Handle device, bool afterTransfer);

}  // namespace norza::link
