#pragma once

#include <cstdint>

namespace rq70 {

// The boot loader's command set. Every command is one byte; every command but FinishCommand is
// acknowledged with AckByte before its parameters follow.
inline constexpr std::uint8_t ProbeCommand = 0xF0;
inline constexpr std::uint8_t AckByte = 0xA0;
inline constexpr std::uint8_t ReadByteCommand = 0xA2;
inline constexpr std::uint8_t EraseRowCommand = 0xA5;
inline constexpr std::uint8_t WriteProgramCommand = 0xA3;
inline constexpr std::uint8_t WriteEepromCommand = 0xA1;
inline constexpr std::uint8_t FinishCommand = 0xA8;

// The most parameter bytes a command takes: a program write's address and four words.
inline constexpr int LongestParameters = 10;
// The reply that ends a command is at most a program write's echo.
inline constexpr int LongestReply = 8;

} // namespace rq70
