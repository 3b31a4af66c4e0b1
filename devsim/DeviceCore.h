#pragma once

// The RQ-70 boot loader as the updater sees it through the serial line: bytes in, bytes out. No
// I/O and no clock here, so every reply and every fault can be checked byte by byte; the pty
// server adds the line, the pacing and the hang-up.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devsim {

constexpr int ProgramWordCount = 16384;
constexpr int EepromByteCount = 256;
constexpr int DataSpaceSize = 256;
constexpr int RowWords = 32;
constexpr int BlockWords = 4;

constexpr std::uint16_t ErasedWord = 0x3FFF;
constexpr std::uint8_t ErasedByte = 0xFF;

// The identification text sits at the top of the data space the Read byte command reads.
constexpr int IdTextAddress = 208;
constexpr int IdTextMaxLength = DataSpaceSize - IdTextAddress;
inline constexpr std::string_view DefaultIdText = "RQ-70 Boot 1.0";

constexpr std::uint8_t Ack = 0xA0;
constexpr std::uint8_t ProbeCode = 0xF0;
constexpr std::uint8_t ReadCode = 0xA2;
constexpr std::uint8_t EraseCode = 0xA5;
constexpr std::uint8_t WriteCode = 0xA3;
constexpr std::uint8_t EepromCode = 0xA1;
constexpr std::uint8_t FinishCode = 0xA8;

enum class Command { Probe, Read, Erase, Write, Eeprom, Finish };
constexpr int CommandCount = 6;
// Finish is never acknowledged, so only the first five can be refused.
constexpr int RefusableCommandCount = 5;

std::string_view CommandName(Command command);
std::optional<Command> CommandFromName(std::string_view name);

// Where the host starts each kind of walk and how far it steps: it erases rows 256, 288, ...,
// writes blocks 256, 260, ..., EEPROM bytes 0, 1, ... and reads the id text from 208 on.
int FirstAddress(Command command);
int AddressStep(Command command);
// Addresses wrap here: 14-bit word addresses for erase and write, one byte for the others.
int AddressSpace(Command command);

// Refusing a command: the device answers the command byte with a wrong acknowledge and goes back
// to waiting for a command, without reading parameters.
struct RefusalRule {
    bool active = false;
    // Empty: refuse every command of this kind. Otherwise refuse only the one whose parameters
    // will name this address (for erase the row, for write the block containing it). The device
    // cannot know the address when it must acknowledge, so it predicts it from the host's walk:
    // FirstAddress at the start and after every probe, otherwise the address of the previous
    // command of that kind plus AddressStep (a refused command counts as having had the
    // predicted address).
    std::optional<int> address;
};

struct FaultPlan {
    // Take every byte in as usual but send nothing back.
    bool silent = false;
    std::array<RefusalRule, RefusableCommandCount> refusals{};
    std::uint8_t wrongAck = 0xA1;
    // The first this many probes go unanswered, as from a device still starting up.
    int ignoredProbes = 0;
    // Every echo of this program word goes back with bit 0 of one byte flipped; the word is
    // stored as received, as when the line garbles the reply.
    std::optional<int> corruptEchoWord;
    bool corruptEchoHighByte = false;
    // Every echo of the write block holding this word lacks one of its 8 bytes.
    std::optional<int> dropEchoBlock;
    int dropEchoIndex = 7;
    // Held by the line, not the core: each reply byte waits this long before it goes out.
    int replyDelayMs = 0;
    // The line is hung up once this many erase rows / write blocks / EEPROM bytes have been
    // answered.
    std::optional<int> hangUpAfterErases;
    std::optional<int> hangUpAfterWrites;
    std::optional<int> hangUpAfterEepromBytes;
    // The adapter is pulled as the countth command byte of this kind comes in: the device takes
    // the byte (and, unless it is a probe, waits for the command's parameters), but its answer
    // never reaches the host.
    struct VanishRule {
        Command command;
        int count;
    };
    std::optional<VanishRule> vanishAfter;
    // The contact between cradle and unit breaks as the countth command byte of this kind has
    // been answered: for `ms` milliseconds no byte crosses in either direction, while the line
    // itself (the pty, the adapter) stays. The device keeps its state: a command whose parameters
    // were lost still awaits them when the contact comes back.
    struct ContactBreak {
        Command command;
        int count;
        int ms;
    };
    std::vector<ContactBreak> contactBreaks;
};

// Each counter counts the command bytes of its kind taken in while waiting for a command, whether
// the command was then served, refused or (a probe) ignored.
struct CommandCounts {
    std::array<int, CommandCount> counts{};
    int operator[](Command command) const { return counts[static_cast<std::size_t>(command)]; }
    int& operator[](Command command) { return counts[static_cast<std::size_t>(command)]; }
};

class DeviceCore {
public:
    // Throws std::invalid_argument for an id text longer than IdTextMaxLength bytes or a dropped
    // echo byte outside 0..7.
    explicit DeviceCore(std::string_view idText = DefaultIdText, const FaultPlan& plan = {});

    // One byte from the host; the bytes the device sends back in answer, possibly none. Once the
    // hang-up is due every byte is ignored.
    std::vector<std::uint8_t> Receive(std::uint8_t byte);

    const FaultPlan& Plan() const { return plan_; }
    const CommandCounts& Counts() const { return counts_; }
    bool FinishSeen() const { return finishSeen_; }
    bool HangUpDue() const { return hangUpDue_; }
    // True once the adapter is to be pulled (see FaultPlan::vanishAfter); reading it clears it.
    bool TakeVanish() { return std::exchange(vanishDue_, false); }
    // The milliseconds of a contact break that is due now (see FaultPlan::contactBreaks), once.
    std::optional<int> TakeContactBreak() { return std::exchange(contactBreakDue_, std::nullopt); }
    // True while parameters of a command are still awaited.
    bool InsideCommand() const { return pending_.has_value(); }

    std::uint16_t ProgramWord(int address) const { return program_.at(static_cast<std::size_t>(address)); }
    std::uint8_t Eeprom(int address) const { return eeprom_.at(static_cast<std::size_t>(address)); }
    // What the memory held when the device was last switched off.
    void RestoreMemory(const std::vector<std::uint16_t>& program,
                       const std::array<std::uint8_t, EepromByteCount>& eeprom);
    std::uint8_t DataSpace(int address) const { return dataSpace_.at(static_cast<std::size_t>(address)); }
    // The address the next command of this kind is predicted to name (see RefusalRule).
    int PredictedAddress(Command command) const { return predicted_.at(static_cast<std::size_t>(command)); }

private:
    void StartCommand(Command command, std::vector<std::uint8_t>& reply);
    void Execute(std::vector<std::uint8_t>& reply);
    bool Refuses(Command command) const;
    void Advance(Command command, int address);
    void RestartWalks();

    FaultPlan plan_;
    std::vector<std::uint16_t> program_;
    std::array<std::uint8_t, EepromByteCount> eeprom_{};
    std::array<std::uint8_t, DataSpaceSize> dataSpace_{};
    CommandCounts counts_;
    std::array<int, RefusableCommandCount> predicted_{};
    std::optional<Command> pending_;
    std::vector<std::uint8_t> parameters_;
    int probesSeen_ = 0;
    int completedErases_ = 0;
    int completedWrites_ = 0;
    int completedEepromBytes_ = 0;
    bool finishSeen_ = false;
    bool hangUpDue_ = false;
    bool vanishDue_ = false;
    std::optional<int> contactBreakDue_;
};

} // namespace devsim
