#include "DeviceCore.h"

#include <algorithm>
#include <stdexcept>

namespace devsim {

namespace {

constexpr std::array<std::string_view, CommandCount> CommandNames = {"probe", "read",   "erase",
                                                                     "write", "eeprom", "finish"};

std::optional<Command> CommandFromCode(std::uint8_t code) {
    switch (code) {
    case ProbeCode:
        return Command::Probe;
    case ReadCode:
        return Command::Read;
    case EraseCode:
        return Command::Erase;
    case WriteCode:
        return Command::Write;
    case EepromCode:
        return Command::Eeprom;
    case FinishCode:
        return Command::Finish;
    default:
        return std::nullopt;
    }
}

std::size_t ParameterCount(Command command) {
    switch (command) {
    case Command::Read:
        return 1;
    case Command::Erase:
    case Command::Eeprom:
        return 2;
    case Command::Write:
        return 2 + 2 * BlockWords;
    case Command::Probe:
    case Command::Finish:
        break;
    }
    return 0;
}

// The boot loader decodes only the 14 address bits its program memory has; higher bits in the
// address's high byte are ignored rather than refused.
int WordAddress(std::uint8_t low, std::uint8_t high) {
    return (low | (high << 8)) & (ProgramWordCount - 1);
}

// Erase names a row and write a block by any word inside it; a refusal aimed at an address must
// hit the command whose row or block holds that address.
int RefusalGranularity(Command command) {
    switch (command) {
    case Command::Erase:
        return RowWords;
    case Command::Write:
        return BlockWords;
    default:
        return 1;
    }
}

// Whether the write block starting at `blockAddress` covers `word`; the last block wraps.
bool BlockHolds(int blockAddress, int word) {
    return (word - blockAddress + ProgramWordCount) % ProgramWordCount < BlockWords;
}

std::size_t Index(Command command) {
    return static_cast<std::size_t>(command);
}

} // namespace

std::string_view CommandName(Command command) {
    return CommandNames[Index(command)];
}

std::optional<Command> CommandFromName(std::string_view name) {
    for (std::size_t i = 0; i < CommandNames.size(); ++i) {
        if (CommandNames[i] == name)
            return static_cast<Command>(i);
    }
    return std::nullopt;
}

int FirstAddress(Command command) {
    switch (command) {
    case Command::Read:
        return IdTextAddress;
    case Command::Erase:
    case Command::Write:
        return 256;
    default:
        return 0;
    }
}

int AddressStep(Command command) {
    switch (command) {
    case Command::Erase:
        return RowWords;
    case Command::Write:
        return BlockWords;
    case Command::Read:
    case Command::Eeprom:
        return 1;
    default:
        return 0;
    }
}

int AddressSpace(Command command) {
    switch (command) {
    case Command::Erase:
    case Command::Write:
        return ProgramWordCount;
    case Command::Read:
        return DataSpaceSize;
    case Command::Eeprom:
        return EepromByteCount;
    default:
        return 1;
    }
}

DeviceCore::DeviceCore(std::string_view idText, const FaultPlan& plan)
    : plan_(plan), program_(ProgramWordCount, ErasedWord) {
    if (idText.size() > static_cast<std::size_t>(IdTextMaxLength))
        throw std::invalid_argument("the id text has " + std::to_string(idText.size()) + " bytes; at most " +
                                    std::to_string(IdTextMaxLength) + " fit");
    if (plan.dropEchoIndex < 0 || plan.dropEchoIndex >= 2 * BlockWords)
        throw std::invalid_argument("an echo has bytes 0 to 7 only");
    eeprom_.fill(ErasedByte);
    dataSpace_.fill(ErasedByte);
    std::copy(idText.begin(), idText.end(), dataSpace_.begin() + IdTextAddress);
    // A text that fills its space to the end has no room, and no need, for the terminator.
    if (idText.size() < static_cast<std::size_t>(IdTextMaxLength))
        dataSpace_[IdTextAddress + idText.size()] = 0x00;
    RestartWalks();
}

std::vector<std::uint8_t> DeviceCore::Receive(std::uint8_t byte) {
    std::vector<std::uint8_t> reply;
    if (hangUpDue_)
        return reply;
    if (pending_) {
        parameters_.push_back(byte);
        if (parameters_.size() == ParameterCount(*pending_))
            Execute(reply);
    } else if (const std::optional<Command> command = CommandFromCode(byte)) {
        StartCommand(*command, reply);
    }
    // Any other byte arriving between commands is line noise to the boot loader: no answer.
    if (plan_.silent)
        reply.clear();
    return reply;
}

void DeviceCore::RestoreMemory(const std::vector<std::uint16_t>& program,
                               const std::array<std::uint8_t, EepromByteCount>& eeprom) {
    if (program.size() != program_.size())
        throw std::invalid_argument("the program memory has " + std::to_string(ProgramWordCount) + " words");
    for (std::size_t i = 0; i < program.size(); ++i)
        program_[i] = program[i] & ErasedWord;
    eeprom_ = eeprom;
}

void DeviceCore::StartCommand(Command command, std::vector<std::uint8_t>& reply) {
    ++counts_[command];
    if (plan_.vanishAfter && plan_.vanishAfter->command == command &&
        counts_[command] == plan_.vanishAfter->count)
        vanishDue_ = true;
    for (const FaultPlan::ContactBreak& rule : plan_.contactBreaks) {
        if (rule.command == command && rule.count == counts_[command])
            contactBreakDue_ = rule.ms;
    }
    switch (command) {
    case Command::Probe:
        // The updater probes before every update, so a probe is where the walks begin again.
        RestartWalks();
        if (++probesSeen_ <= plan_.ignoredProbes)
            return;
        reply.push_back(Refuses(command) ? plan_.wrongAck : Ack);
        return;
    case Command::Finish:
        finishSeen_ = true;
        return;
    default:
        break;
    }
    if (Refuses(command)) {
        reply.push_back(plan_.wrongAck);
        Advance(command, PredictedAddress(command));
        return;
    }
    reply.push_back(Ack);
    pending_ = command;
    parameters_.clear();
}

bool DeviceCore::Refuses(Command command) const {
    const RefusalRule& rule = plan_.refusals.at(Index(command));
    if (!rule.active)
        return false;
    if (!rule.address)
        return true;
    const int unit = RefusalGranularity(command);
    return PredictedAddress(command) / unit == *rule.address / unit;
}

void DeviceCore::Advance(Command command, int address) {
    predicted_.at(Index(command)) = (address + AddressStep(command)) % AddressSpace(command);
}

void DeviceCore::RestartWalks() {
    for (std::size_t i = 0; i < predicted_.size(); ++i)
        predicted_[i] = FirstAddress(static_cast<Command>(i));
}

void DeviceCore::Execute(std::vector<std::uint8_t>& reply) {
    const Command command = *pending_;
    pending_.reset();
    const std::vector<std::uint8_t>& p = parameters_;
    switch (command) {
    case Command::Read:
        reply.push_back(dataSpace_[p[0]]);
        Advance(command, p[0]);
        break;
    case Command::Erase: {
        const int address = WordAddress(p[0], p[1]);
        const int rowStart = address - address % RowWords;
        std::fill_n(program_.begin() + rowStart, RowWords, ErasedWord);
        reply.push_back(Ack);
        Advance(command, address);
        ++completedErases_;
        if (plan_.hangUpAfterErases && completedErases_ >= *plan_.hangUpAfterErases)
            hangUpDue_ = true;
        break;
    }
    case Command::Write: {
        const int address = WordAddress(p[0], p[1]);
        for (int i = 0; i < BlockWords; ++i) {
            const std::uint8_t low = p[2 + 2 * i];
            const std::uint8_t high = p[3 + 2 * i];
            program_[static_cast<std::size_t>((address + i) % ProgramWordCount)] =
                static_cast<std::uint16_t>(low | ((high & 0x3F) << 8));
        }
        std::vector<std::uint8_t> echo(p.begin() + 2, p.end());
        if (plan_.corruptEchoWord && BlockHolds(address, *plan_.corruptEchoWord)) {
            const int offset = (*plan_.corruptEchoWord - address + ProgramWordCount) % ProgramWordCount;
            echo[static_cast<std::size_t>(2 * offset + (plan_.corruptEchoHighByte ? 1 : 0))] ^= 0x01;
        }
        if (plan_.dropEchoBlock && BlockHolds(address, *plan_.dropEchoBlock))
            echo.erase(echo.begin() + plan_.dropEchoIndex);
        reply.insert(reply.end(), echo.begin(), echo.end());
        Advance(command, address);
        ++completedWrites_;
        if (plan_.hangUpAfterWrites && completedWrites_ >= *plan_.hangUpAfterWrites)
            hangUpDue_ = true;
        break;
    }
    case Command::Eeprom:
        eeprom_[p[0]] = p[1];
        reply.push_back(Ack);
        Advance(command, p[0]);
        ++completedEepromBytes_;
        if (plan_.hangUpAfterEepromBytes && completedEepromBytes_ >= *plan_.hangUpAfterEepromBytes)
            hangUpDue_ = true;
        break;
    case Command::Probe:
    case Command::Finish:
        break;
    }
}

} // namespace devsim
