#include "image/FirmwareImages.h"

#include <algorithm>

namespace rq70 {

void FirmwareImages::Clear() {
    for (auto& word : ProgramImage) {
        word[LowPlane] = ErasedLowByte;
        word[HighPlane] = ErasedHighByte;
    }
    EepromImage.fill(ErasedEepromByte);
}

bool FirmwareImages::StoreProgramWord(std::int64_t address, std::uint8_t low, std::uint8_t high) {
    if (address < 0 || address >= ProgramWordCount)
        return false;
    const auto word = static_cast<std::size_t>(address);
    ProgramImage[word][LowPlane] = low;
    ProgramImage[word][HighPlane] = high;
    HighestProgramWord = std::max(HighestProgramWord, static_cast<std::int32_t>(address));
    return true;
}

bool FirmwareImages::StoreEepromByte(std::int64_t address, std::uint8_t value) {
    if (address < 0 || address >= EepromByteCount)
        return false;
    EepromImage[static_cast<std::size_t>(address)] = value;
    return true;
}

} // namespace rq70
