#pragma once

#include "link/SerialLink.h"

#include <cstdint>

namespace rq70 {

// What a freshly opened port sends first. A device whose adapter was pulled, or whose updater was
// killed, in the middle of a command stays powered and waits for the rest of its parameters; the
// next probe or command byte would be taken as one of them, and a program write finished that way
// writes probe bytes somewhere. These bytes finish any such command harmlessly: as a write's or
// erase's address they name word 257 or 256 + the low byte already sent, both in rows that every
// update erases and writes again before it ends; as EEPROM data they are rewritten by the EEPROM
// phase; a device waiting for a command takes them as line noise.
inline constexpr std::uint8_t ResyncFillByte = 0x01;

// Sends the fill bytes and a probe, then reads past the reply of any command they finished (at
// most a write's echo) to the probe's acknowledge, and drops what follows it within a few tens of
// milliseconds. True when an acknowledge came within `timeoutMs`. Either way the device is waiting
// for a command afterwards, and the link no longer needs a resync.
bool ResynchroniseDevice(SerialLink& link, int timeoutMs = SerialLink::ReplyTimeoutMs);

// A ping as a search makes it: on a port just opened, ResynchroniseDevice; after that, the plain
// presence check.
bool PingDevice(SerialLink& link, int timeoutMs = SerialLink::ReplyTimeoutMs);

// The fill bytes alone, for a caller that probes in its own way right after.
void SendResyncBytes(SerialLink& link);

} // namespace rq70
