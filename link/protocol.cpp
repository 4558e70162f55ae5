#include "protocol.h"

#include <cstddef>
#include <cstring>

#include "aligned_buffer.h"
#include "byte_order.h"
#include "transfer.h"

namespace norza::link {
namespace {

using platform::SeekFrom;

// Where the position stays after a failed seek is anyone's guess: a command
// block written there would land on data.
bool SeekToWindow(platform::Backend& backend, Handle device) {
  return backend.Seek(device, COMMAND_WINDOW_OFFSET, SeekFrom::Begin) == COMMAND_WINDOW_OFFSET;
}

bool WriteCommandWindow(platform::Backend& backend, Handle device, const unsigned char* sector) {
  uint32_t done = 0;
  return SeekToWindow(backend, device) && backend.Write(device, sector, kCommandBlockSize, &done) &&
         done == kCommandBlockSize;
}

bool ReadReply(platform::Backend& backend, Handle device, unsigned char* sector) {
  uint32_t done = 0;
  return SeekToWindow(backend, device) && backend.Read(device, sector, kCommandBlockSize, &done) &&
         done == kCommandBlockSize;
}

// The block, zero-filled to a sector, written to the command window and,
// with readBack, the window read back (into reply when given); the device's
// position is kept. The read happens even when the write failed.
bool UseCommandWindow(Handle device, const void* block, uint32_t blockLength, bool readBack,
                      void* reply, uint32_t replyLength) {
  platform::Backend& backend = platform::ActiveBackend();
  AlignedSector sector;
  std::memset(sector.data(), 0, kCommandBlockSize);
  std::memcpy(sector.data(), block, blockLength);
  const int64_t position = backend.Seek(device, 0, SeekFrom::Current);
  const bool written = WriteCommandWindow(backend, device, sector.data());
  const bool read = !readBack || ReadReply(backend, device, sector.data());
  backend.Seek(device, position, SeekFrom::Begin);
  if (readBack && reply != nullptr) std::memcpy(reply, sector.data(), replyLength);
  return written && read;
}

uint32_t ReplyField(const ReplyBlock& reply, std::size_t offset) {
  return LoadLe32(reinterpret_cast<const uint8_t*>(&reply) + offset);
}

}  // namespace

std::array<LinkFailure, kDeviceSlots> DiskOpenFailures;

std::array<Handle, kDeviceSlots> DeviceHandleTable = [] {
  std::array<Handle, kDeviceSlots> table{};
  table.fill(platform::kInvalidHandle);
  return table;
}();

CommandBlock MakeCommandBlock(uint32_t code, uint32_t parameter) {
  CommandBlock block{};
  auto* bytes = reinterpret_cast<uint8_t*>(&block);
  StoreLe32(bytes + offsetof(CommandBlock, magic), kCommandMagic);
  StoreLe32(bytes + offsetof(CommandBlock, signature), kCommandSignature);
  StoreLe32(bytes + offsetof(CommandBlock, blockLength), kCommandBlockSize);
  StoreLe32(bytes + offsetof(CommandBlock, commandCode), code);
  StoreLe32(bytes + offsetof(CommandBlock, parameter), parameter);
  return block;
}

int32_t OpenCalculatorDisks() {
  platform::Backend& backend = platform::ActiveBackend();
  int32_t opened = 0;
  for (int32_t i = 0; i < deviceCount && i < kDeviceSlots; ++i) {
    DiskOpenFailures[i] = LinkFailure{};
    DeviceHandleTable[i] = backend.OpenDisk(DevicePathTable[i]);
    if (DeviceHandleTable[i] != platform::kInvalidHandle) {
      ++opened;
      continue;
    }
    const std::wstring node = backend.DeviceNodeOf(DevicePathTable[i]);
    const std::string subject = platform::WideToUtf8(node.empty() ? DevicePathTable[i] : node);
    DiskOpenFailures[i] =
        LinkFailure{KindOfError(backend.LastErrorKind()), subject, backend.LastErrorText()};
    NoteFailure(subject);
  }
  return opened;
}

void CloseCalculatorDisks() {
  platform::Backend& backend = platform::ActiveBackend();
  for (int32_t i = 0; i < deviceCount && i < kDeviceSlots; ++i) {
    if (DeviceHandleTable[i] == platform::kInvalidHandle) continue;
    backend.Close(DeviceHandleTable[i]);
    DeviceHandleTable[i] = platform::kInvalidHandle;
  }
}

int64_t SeekDevice(Handle device, int64_t distance, platform::SeekFrom method) {
  return platform::ActiveBackend().Seek(device, distance, method);
}

bool TransactBlock(Handle device, const void* block, uint32_t blockLength, void* reply,
                   uint32_t replyLength) {
  if (blockLength == 0 || blockLength > kCommandBlockSize || replyLength > kCommandBlockSize) {
    return false;
  }
  return UseCommandWindow(device, block, blockLength, true, reply, replyLength);
}

bool PostBlock(Handle device, const void* block, uint32_t blockLength) {
  if (blockLength == 0 || blockLength > kCommandBlockSize) return false;
  return UseCommandWindow(device, block, blockLength, false, nullptr, 0);
}

bool SendCommand(Handle device, uint32_t code, uint32_t parameter, uint32_t* replyCode,
                 uint32_t* replyValue) {
  const CommandBlock block = MakeCommandBlock(code, parameter);
  ReplyBlock reply{};
  const bool ok = TransactBlock(device, &block, sizeof block, &reply, sizeof reply);
  if (replyCode != nullptr) *replyCode = ReplyField(reply, offsetof(ReplyBlock, replyCode));
  if (replyValue != nullptr) *replyValue = ReplyField(reply, offsetof(ReplyBlock, replyValue));
  return ok;
}

bool ReportProgress(Handle device, int32_t percent) {
  for (int attempt = 0; attempt < kProgressAttempts; ++attempt) {
    uint32_t code = 0;
    if (SendCommand(device, CMD_PROGRESS, static_cast<uint32_t>(percent), &code, nullptr) &&
        code == (kReplyAccepted | CMD_PROGRESS)) {
      return true;
    }
  }
  return false;
}

bool CheckImageSize(Handle device, uint32_t totalLength) {
  uint32_t code = 0;
  uint32_t value = 0;
  return SendCommand(device, CMD_CHECK_SIZE, totalLength, &code, &value) &&
         code == (kReplyAccepted | CMD_CHECK_SIZE) && value == totalLength;
}

bool SendImageData(Handle device, const uint8_t* data, uint32_t length, int64_t imageOffset) {
  while (length > 0) {
    const uint32_t count = length < kMaxDataPayload ? length : kMaxDataPayload;
    // Only the low 16 bits of the offset fit: the calculator sees it wrap
    // every 64 KiB.
    const uint32_t parameter = (static_cast<uint32_t>(imageOffset & 0xFFFF) << 16) | count;
    CommandBlock block = MakeCommandBlock(CMD_DATA, parameter);
    std::memcpy(block.payload, data, count);
    ReplyBlock reply{};
    if (!TransactBlock(device, &block, sizeof block, &reply, sizeof reply) ||
        ReplyField(reply, offsetof(ReplyBlock, replyCode)) != (kReplyAccepted | CMD_DATA)) {
      return false;
    }
    data += count;
    length -= count;
    imageOffset += count;
  }
  return true;
}

bool SendFinish(Handle device) {
  const CommandBlock block = MakeCommandBlock(CMD_FINISH, 0);
  return PostBlock(device, &block, sizeof block);
}

bool ReadCommandWindow(Handle device, bool afterTransfer) {
  AlignedBuffer scratch(kWindowScratchSize);
  if (!scratch) return true;
  platform::Backend& backend = platform::ActiveBackend();
  uint32_t done = 0;
  if (SeekToWindow(backend, device)) {
    backend.Read(device, scratch.data(), afterTransfer ? kWindowReadAfter : kWindowReadBefore,
                 &done);
  }
  return true;
}

}  // namespace norza::link
