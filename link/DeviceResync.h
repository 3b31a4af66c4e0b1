#pragma once

#include "link/SerialLink.h"

#include <cstdint>

namespace rq70 {

// What a freshly opened port sends first. A device whose adapter was pulled, or whose updater was
// killed, in the middle of a command stays powered and waits for the rest of its parameters; the
// next probe or command byte would be taken as one of them, and a program write finished that way
// writes probe bytes somewhere. These bytes finish any such command with the least harm there is:
// - an erase finished by them names row 256, or the row at 256 + the low byte already sent: rows
//   at or below the one the interrupted erase had reached, which were erased already;
// - a program write names word 257 (nothing of it sent yet), 256 + the low byte already sent, or
//   the block it was writing, and puts 0x0101 into the words that had not arrived. All of these
//   lie in the rows the interrupted update had erased and was writing, so the device's program was
//   incomplete before and stays so until an update with program data from word 256 up erases and
//   writes them again. An update without program data (EEPROM only) erases nothing and leaves
//   them as they are: no fill byte could do better, since every value finishes the write
//   somewhere and 0x00 would name the boot loader's own words;
// - as EEPROM data they are rewritten by the EEPROM phase of every update;
// - a device waiting for a command takes them as line noise (0x01 is no command).
inline constexpr std::uint8_t ResyncFillByte = 0x01;

// Sends the fill bytes and a probe, then reads past the reply of any command they finished (at
// most a write's echo) to the probe's acknowledge, and drops what follows it within a few tens of
// milliseconds. True when an acknowledge came within `timeoutMs`: the device is then waiting for a
// command, and the link no longer needs a resync. Without it the link still does: the bytes may
// have met a broken contact, or only their tail may have reached the device.
bool ResynchroniseDevice(SerialLink& link, int timeoutMs = SerialLink::ReplyTimeoutMs);

// A ping as a search makes it: on a port just opened, ResynchroniseDevice; after that, the plain
// presence check.
bool PingDevice(SerialLink& link, int timeoutMs = SerialLink::ReplyTimeoutMs);

// The fill bytes alone, for a caller that probes in its own way right after and marks the link
// in sync once the probe is answered.
void SendResyncBytes(SerialLink& link);

} // namespace rq70
