#pragma once

#include "DeviceCore.h"

#include <string>

namespace devsim {

// What the device holds at the end, as one JSON object: "program" lists the words that are not
// erased as [address, low, high] in ascending order, "eeprom" holds all 256 bytes, "finish_seen"
// whether the finish command came, and "commands" the counters by command name.
std::string DumpJson(const DeviceCore& device);

} // namespace devsim
