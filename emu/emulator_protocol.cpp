#include "emulator_protocol.h"

#include <algorithm>
#include <cstring>

namespace norza::emu {

const char* CommandName(uint32_t code) {
  switch (code) {
    case kCmdFinish: return "CMD_FINISH";
    case kCmdData: return "CMD_DATA";
    case kCmdCheckSize: return "CMD_CHECK_SIZE";
    case kCmdProgress: return "CMD_PROGRESS";
    default: return "CMD_UNKNOWN";
  }
}

std::array<uint8_t, kBlockSize> MakeCommandBlock(uint32_t code, uint32_t parameter,
                                                 const uint8_t* payload,
                                                 std::size_t payloadLength) {
  std::array<uint8_t, kBlockSize> block{};
  StoreLe32(&block[0], kMagic);
  StoreLe32(&block[4], kSignature);
  StoreLe32(&block[8], static_cast<uint32_t>(kBlockSize));
  StoreLe32(&block[12], code);
  StoreLe32(&block[16], parameter);
  if (payload != nullptr) {
    std::memcpy(&block[kPayloadOffset], payload, std::min<std::size_t>(payloadLength, kMaxPayload));
  }
  return block;
}

bool IsCommandBlock(const uint8_t* bytes, std::size_t length) {
  return length == kBlockSize && LoadLe32(bytes) == kMagic && LoadLe32(bytes + 4) == kSignature;
}

}  // namespace norza::emu
