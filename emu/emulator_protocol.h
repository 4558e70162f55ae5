// The calculator's side of the sector command protocol: where the command
// window is, what a command block looks like and the codes it answers. Its
// own constants, not the link's: a change to the link's must fail the tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "byte_order.h"

namespace norza::emu {

inline constexpr int64_t kCommandWindowOffset = 87040;  // sector 170
inline constexpr std::size_t kBlockSize = 512;
inline constexpr uint32_t kMagic = 0xAA5555AAu;
inline constexpr uint32_t kSignature = 0x44435842u;  // "BXCD"
inline constexpr uint32_t kReplyAccepted = 0x80000000u;
inline constexpr std::size_t kPayloadOffset = 20;
inline constexpr uint32_t kMaxPayload = 256;
inline constexpr int64_t kWindowReadBefore = 15360;
inline constexpr int64_t kWindowReadAfter = 15872;

inline constexpr uint32_t kCmdFinish = 0xBEC1;
inline constexpr uint32_t kCmdData = 0xBEC6;
inline constexpr uint32_t kCmdCheckSize = 0xBEC7;
inline constexpr uint32_t kCmdProgress = 0xBEDC;

// "CMD_PROGRESS" etc., "CMD_UNKNOWN" for codes the calculator does not know.
const char* CommandName(uint32_t code);

using norza::LoadLe32;
using norza::StoreLe32;

// A command block as the host builds it (payload only for CMD_DATA).
std::array<uint8_t, kBlockSize> MakeCommandBlock(uint32_t code, uint32_t parameter,
                                                 const uint8_t* payload = nullptr,
                                                 std::size_t payloadLength = 0);
// True when a 512-byte write at the command window carries a command.
bool IsCommandBlock(const uint8_t* bytes, std::size_t length);

}  // namespace norza::emu
