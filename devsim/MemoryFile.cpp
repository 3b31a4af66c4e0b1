#include "MemoryFile.h"

#include "common/AtomicWrite.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace devsim {

std::string LoadMemory(const std::string& path, DeviceCore& device) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (errno == ENOENT)
            return {};
        return "cannot read the memory file " + path + ": " + std::strerror(errno);
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() != MemoryFileSize)
        return "the memory file " + path + " has " + std::to_string(bytes.size()) + " bytes, not " +
               std::to_string(MemoryFileSize);
    std::vector<std::uint16_t> program(ProgramWordCount);
    for (std::size_t i = 0; i < program.size(); ++i)
        program[i] = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                                static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
    std::array<std::uint8_t, EepromByteCount> eeprom{};
    for (std::size_t i = 0; i < eeprom.size(); ++i)
        eeprom[i] = static_cast<std::uint8_t>(bytes[2 * ProgramWordCount + i]);
    device.RestoreMemory(program, eeprom);
    return {};
}

std::string SaveMemory(const std::string& path, const DeviceCore& device) {
    std::string bytes;
    bytes.reserve(MemoryFileSize);
    for (int address = 0; address < ProgramWordCount; ++address) {
        const std::uint16_t word = device.ProgramWord(address);
        bytes += static_cast<char>(word & 0xFF);
        bytes += static_cast<char>(word >> 8);
    }
    for (int address = 0; address < EepromByteCount; ++address)
        bytes += static_cast<char>(device.Eeprom(address));
    if (const std::string error = rq70::WriteFileAtomically(path, bytes); !error.empty())
        return "cannot write " + path + ": " + error;
    return {};
}

} // namespace devsim
