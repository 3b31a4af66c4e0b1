// The values of the simulator's options: numbers, port names, and the fault rules' own syntax.
#include "OptionValues.h"

#include <charconv>

namespace devsim {

std::optional<long long> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

// Parses `text` as a whole number in [low, high]; on failure leaves the reason in `error`.
std::optional<int> ParseBounded(std::string_view text, long long low, long long high, std::string_view what,
                                std::string& error) {
    const std::optional<long long> value = ParseNumber(text);
    if (!value) {
        error = "bad number '" + std::string(text) + "' for " + std::string(what);
        return std::nullopt;
    }
    if (*value < low || *value > high) {
        error = std::string(what) + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                ", not " + std::string(text);
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

bool IsValidPortName(std::string_view name) {
    if (!name.starts_with("COM") || name.size() < 4 || name.size() > 6 || name[3] == '0')
        return false;
    const std::optional<long long> number = ParseNumber(name.substr(3));
    return number && *number <= 256;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Splits "BEFORE<separator>AFTER"; `after` is empty when there is no separator.
std::string_view SplitAt(std::string_view text, char separator, std::optional<std::string_view>& after) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) {
        after.reset();
        return text;
    }
    after = text.substr(at + 1);
    return text.substr(0, at);
}

bool ParseRefusal(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> addressText;
    const std::string_view name = SplitAt(value, '@', addressText);
    const std::optional<Command> command = CommandFromName(name);
    if (!command || *command == Command::Finish) {
        error = "--nak needs probe, read, erase, write or eeprom, not '" + std::string(name) + "'";
        return false;
    }
    RefusalRule& rule = plan.refusals[static_cast<std::size_t>(*command)];
    if (rule.active) {
        error = "--nak " + std::string(name) + " given twice";
        return false;
    }
    rule.active = true;
    if (!addressText)
        return true;
    if (*command == Command::Probe) {
        error = "--nak probe takes no address: a probe has none";
        return false;
    }
    rule.address = ParseBounded(*addressText, 0, AddressSpace(*command) - 1,
                                "the address of --nak " + std::string(name), error);
    return rule.address.has_value();
}

bool ParseVanish(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> countText;
    const std::string_view name = SplitAt(value, ':', countText);
    const std::optional<Command> command = CommandFromName(name);
    if (!command || *command == Command::Finish || !countText) {
        error = "--vanish-after takes CMD:N with CMD probe, read, erase, write or eeprom, not '" +
                std::string(value) + "'";
        return false;
    }
    const std::optional<int> count =
        ParseBounded(*countText, 1, 1'000'000'000, "the N of --vanish-after", error);
    if (count)
        plan.vanishAfter = FaultPlan::VanishRule{*command, *count};
    return count.has_value();
}

bool ParseCorruptEcho(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> byteName;
    const std::string_view wordText = SplitAt(value, ':', byteName);
    if (byteName && *byteName != "low" && *byteName != "high") {
        error = "--corrupt-echo takes WORD, WORD:low or WORD:high, not '" + std::string(value) + "'";
        return false;
    }
    plan.corruptEchoWord =
        ParseBounded(wordText, 0, ProgramWordCount - 1, "the word of --corrupt-echo", error);
    plan.corruptEchoHighByte = byteName == "high";
    return plan.corruptEchoWord.has_value();
}

bool ParseDropEcho(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> indexText;
    const std::string_view wordText = SplitAt(value, ':', indexText);
    plan.dropEchoBlock = ParseBounded(wordText, 0, ProgramWordCount - 1, "the word of --drop-echo", error);
    if (!plan.dropEchoBlock)
        return false;
    if (!indexText)
        return true;
    const std::optional<int> index =
        ParseBounded(*indexText, 0, 2 * BlockWords - 1, "the byte of --drop-echo", error);
    if (index)
        plan.dropEchoIndex = *index;
    return index.has_value();
}

bool ParseContactBreak(std::string_view value, FaultPlan& plan, std::string& error) {
    std::optional<std::string_view> countAndMs;
    const std::string_view name = SplitAt(value, ':', countAndMs);
    std::optional<std::string_view> msText;
    const std::string_view countText = countAndMs ? SplitAt(*countAndMs, ':', msText) : std::string_view();
    const std::optional<Command> command = CommandFromName(name);
    if (!command || *command == Command::Finish || !msText) {
        error = "--break-contact takes CMD:N:MS with CMD probe, read, erase, write or eeprom, not '" +
                std::string(value) + "'";
        return false;
    }
    const std::optional<int> count =
        ParseBounded(countText, 1, 1'000'000'000, "the N of --break-contact", error);
    if (!count)
        return false;
    const std::optional<int> ms = ParseBounded(*msText, 1, 3'600'000, "the MS of --break-contact", error);
    if (ms)
        plan.contactBreaks.push_back({*command, *count, *ms});
    return ms.has_value();
}

} // namespace devsim
