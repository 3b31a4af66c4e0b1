#include "Dump.h"

namespace devsim {

std::string DumpJson(const DeviceCore& device) {
    // One program word per line keeps dumps of two runs diffable.
    std::string json = "{\n  \"program\": [";
    bool first = true;
    for (int address = 0; address < ProgramWordCount; ++address) {
        const std::uint16_t word = device.ProgramWord(address);
        if (word == ErasedWord)
            continue;
        json += first ? "\n    [" : ",\n    [";
        json += std::to_string(address) + ", " + std::to_string(word & 0xFF) + ", " +
                std::to_string(word >> 8) + "]";
        first = false;
    }
    json += first ? "],\n" : "\n  ],\n";
    json += "  \"eeprom\": [";
    for (int address = 0; address < EepromByteCount; ++address) {
        json += address == 0 ? "\n    " : (address % 16 == 0 ? ",\n    " : ", ");
        json += std::to_string(device.Eeprom(address));
    }
    json += "\n  ],\n  \"finish_seen\": ";
    json += device.FinishSeen() ? "true" : "false";
    json += ",\n  \"commands\": {";
    for (int i = 0; i < CommandCount; ++i) {
        const auto command = static_cast<Command>(i);
        json += i == 0 ? "" : ", ";
        json += "\"" + std::string(CommandName(command)) + "\": " + std::to_string(device.Counts()[command]);
    }
    return json + "}\n}\n";
}

} // namespace devsim
