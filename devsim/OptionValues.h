#pragma once

#include "DeviceCore.h"

#include <optional>
#include <string>
#include <string_view>

namespace devsim {

// A whole number, decimal or 0x-prefixed hex; nothing for anything else or a negative one.
std::optional<long long> ParseNumber(std::string_view text);
// Parses `text` as a whole number in [low, high]; on failure leaves the reason in `error`.
std::optional<int> ParseBounded(std::string_view text, long long low, long long high, std::string_view what,
                                std::string& error);
// COM1 to COM256.
bool IsValidPortName(std::string_view name);
// The value of a hex digit, or -1.
int HexDigit(char c);
// Splits "BEFORE<separator>AFTER"; `after` is empty when there is no separator.
std::string_view SplitAt(std::string_view text, char separator, std::optional<std::string_view>& after);

// The fault options' values, each into `plan`; false, with `error` set, for a bad one.
bool ParseRefusal(std::string_view value, FaultPlan& plan, std::string& error);
bool ParseVanish(std::string_view value, FaultPlan& plan, std::string& error);
bool ParseCorruptEcho(std::string_view value, FaultPlan& plan, std::string& error);
bool ParseDropEcho(std::string_view value, FaultPlan& plan, std::string& error);
// CMD:N:MS, repeatable: one contact break each.
bool ParseContactBreak(std::string_view value, FaultPlan& plan, std::string& error);

} // namespace devsim
