#pragma once

#include "link/SerialLink.h"

#include <QString>

#include <functional>
#include <optional>

namespace rq70 {

// Where the identification text starts in the device's data space, and what a device that will
// not hand it out reports instead.
inline constexpr int DeviceInfoAddress = 208;
inline constexpr const char* NoDeviceInformation = "no device information found";

// Sends ProbeCommand, waits up to `timeoutMs` for the reply and reads one byte into ReceivedText.
// True only for AckByte; no reply, any other byte or a failed port all mean absent.
bool CheckPresence(SerialLink& link, int timeoutMs = SerialLink::ReplyTimeoutMs);

// Reads the identification text byte by byte from `start` up to a 0x00 or 0xFF byte or the end of
// the data space at 255. "no device information found" when a read command is not acknowledged;
// nothing at all when the port fails, so the caller keeps what it showed before. `stopAsked`, when
// given, is looked at before each read command: true from it ends the query there, with nothing,
// and the device waiting for a command.
std::optional<QString> QueryDeviceInfo(SerialLink& link, int start,
                                       int timeoutMs = SerialLink::ReplyTimeoutMs,
                                       const std::function<bool()>& stopAsked = {});

} // namespace rq70
