#pragma once

#include "DeviceCore.h"

#include <string>

namespace devsim {

// The device's memory as it survives a power cycle: the 16384 program words, two bytes each, low
// byte first, then the 256 EEPROM bytes. A plain image, so two files compare with cmp.
inline constexpr std::size_t MemoryFileSize = 2 * ProgramWordCount + EepromByteCount;

// Fills the device from `path`; a missing file is a device never written. "" or why not.
std::string LoadMemory(const std::string& path, DeviceCore& device);
// Replaces `path` with the device's memory, all at once. "" or why not.
std::string SaveMemory(const std::string& path, const DeviceCore& device);

} // namespace devsim
