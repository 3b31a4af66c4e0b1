#pragma once

#include <array>
#include <cstdint>

namespace rq70 {

// The device's memory as an update writes it: 16384 program words of 14 bits and 256 EEPROM bytes.
constexpr int ProgramWordCount = 16384;
constexpr int EepromByteCount = 256;

// Erased values: a program word reads 0x3FFF (low 255, high 63), an EEPROM byte 255.
constexpr std::uint8_t ErasedLowByte = 0xFF;
constexpr std::uint8_t ErasedHighByte = 0x3F;
constexpr std::uint8_t ErasedEepromByte = 0xFF;

// Indices into a program word's two byte planes.
constexpr int LowPlane = 0;
constexpr int HighPlane = 1;

// One copy of everything an update writes into the device, plus the highest program word the
// update file filled. The loader fills it; the update procedure only reads it.
struct FirmwareImages {
    // ProgramImage[word][plane]: plane 0 holds bits 0-7, plane 1 the high byte exactly as the
    // file gave it (not masked to 6 bits).
    std::array<std::array<std::uint8_t, 2>, ProgramWordCount> ProgramImage;
    std::array<std::uint8_t, EepromByteCount> EepromImage;
    // Only ever rises while loading; Clear leaves it alone because a file is loaded once per run.
    std::int32_t HighestProgramWord = 0;

    FirmwareImages() { Clear(); }

    // Every program word to 0x3FFF and every EEPROM byte to 255; HighestProgramWord untouched.
    void Clear();

    // Both return false, and change nothing, for an address outside the image.
    bool StoreProgramWord(std::int64_t address, std::uint8_t low, std::uint8_t high);
    bool StoreEepromByte(std::int64_t address, std::uint8_t value);

    std::uint8_t LowByte(int address) const { return ProgramImage.at(address)[LowPlane]; }
    std::uint8_t HighByte(int address) const { return ProgramImage.at(address)[HighPlane]; }
    std::uint8_t EepromByte(int address) const { return EepromImage.at(address); }
    bool IsErasedWord(int address) const {
        return LowByte(address) == ErasedLowByte && HighByte(address) == ErasedHighByte;
    }
};

} // namespace rq70
