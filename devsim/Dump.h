#pragma once

#include "DeviceCore.h"

#include <string>

namespace devsim {

// What the device holds at the end, as one JSON object: "program" lists the words that are not
// erased as [address, low, high] in ascending order, "eeprom" all 256 bytes, then "finish_seen"
// and the "commands" counters.
std::string DumpJson(const DeviceCore& device);

} // namespace devsim
