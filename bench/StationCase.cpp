#include "StationCase.h"

#include "BenchSupport.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceQuery.h"

#include <random>

namespace station {

using rq70::UpdatePhase;

namespace {

int Uniform(std::mt19937_64& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

bool Chance(std::mt19937_64& random, int inFour) {
    return Uniform(random, 1, 4) <= inFour;
}

// The generator of one unit, or of the shift's file (number 0).
std::mt19937_64 Generator(quint64 seed, int number) {
    std::seed_seq sequence{quint32(seed), quint32(seed >> 32), quint32(number)};
    return std::mt19937_64(sequence);
}

soak::Expectation Success(const QString& id) {
    soak::Expectation expect;
    expect.identifications = {id};
    return expect;
}

soak::Expectation Failure(UpdatePhase phase, int word = -1, const QString& message = {}) {
    soak::Expectation expect;
    expect.success = false;
    expect.phase = phase;
    expect.word = word;
    expect.verifyMessage = message;
    return expect;
}

// A program word for a fault to name: mostly one the update writes.
int DrawWord(std::mt19937_64& random, const soak::Blocks& blocks) {
    if (Chance(random, 3))
        return Uniform(random, rq70::FirstUpdatedWord, blocks.last + rq70::WriteBlockWords - 1);
    return Uniform(random, 0, rq70::ProgramWordCount - 1);
}

// A count of write blocks for a fault to wait for: mostly one the update gets to.
int DrawWrites(std::mt19937_64& random, const soak::Blocks& blocks) {
    return Chance(random, 3) ? Uniform(random, 1, blocks.count) : Uniform(random, 1, 4200);
}

void DrawFault(std::mt19937_64& random, UnitPlan& unit, const ShiftFile& file) {
    const soak::Blocks blocks(file.lastWord);
    QStringList& options = unit.deviceOptions;
    // What a unit without a fault, or with one the update never meets, ends in.
    const soak::Expectation success = Success(unit.id);
    switch (unit.fault) {
    case Fault::None:
    case Fault::Count:
        unit.verdicts = {success};
        break;
    case Fault::CorruptEcho: {
        const int word = DrawWord(random, blocks);
        static const QStringList sides{"", ":low", ":high"};
        options << "--corrupt-echo" << QString::number(word) + sides[Uniform(random, 0, 2)];
        unit.verdicts = {blocks.Holding(word) >= 0
                             ? Failure(UpdatePhase::Program, word, soak::VerifyMessage(word))
                             : success};
        break;
    }
    case Fault::DropEcho: {
        const int word = DrawWord(random, blocks);
        const bool indexGiven = Chance(random, 3);
        const int index = indexGiven ? Uniform(random, 0, 7) : 7;
        options << "--drop-echo"
                << (indexGiven ? QStringLiteral("%1:%2").arg(word).arg(index) : QString::number(word));
        const int block = blocks.Holding(word);
        const int failed = block >= 0 ? soak::FirstWordOffByDrop(file.images, block, index) : -1;
        unit.verdicts = {block >= 0 ? Failure(UpdatePhase::Program, failed, soak::VerifyMessage(failed))
                                    : success};
        break;
    }
    case Fault::NakWrite: {
        const int word = DrawWord(random, blocks);
        options << "--nak" << QStringLiteral("write@%1").arg(word);
        if (Chance(random, 2)) {
            int wrong = rq70::AckByte;
            while (wrong == rq70::AckByte)
                wrong = Uniform(random, 0, 255);
            options << "--nak-byte" << QString::number(wrong);
        }
        const int block = blocks.Holding(word);
        unit.verdicts = {block >= 0 ? Failure(UpdatePhase::Program, block) : success};
        break;
    }
    case Fault::NakErase:
        // A fresh device is erased throughout, and a row the device refuses is passed over without
        // a word: the update still succeeds.
        options << "--nak"
                << (Chance(random, 2) ? QStringLiteral("erase")
                                      : QStringLiteral("erase@%1").arg(DrawWord(random, blocks)));
        unit.verdicts = {success};
        break;
    case Fault::HangUpAfterWrites: {
        const int writes = DrawWrites(random, blocks);
        options << "--hangup-after-writes" << QString::number(writes);
        unit.hangsUp = writes <= blocks.count;
        // The next command after the line went away gets no acknowledge.
        if (writes < blocks.count)
            unit.verdicts = {
                Failure(UpdatePhase::Program, rq70::FirstUpdatedWord + writes * rq70::WriteBlockWords)};
        else if (writes == blocks.count)
            unit.verdicts = {Failure(UpdatePhase::Eeprom)};
        else
            unit.verdicts = {success};
        break;
    }
    case Fault::HangUpAfterEeprom: {
        const int bytes =
            Chance(random, 1) ? rq70::EepromByteCount : Uniform(random, 1, rq70::EepromByteCount);
        options << "--hangup-after-eeprom" << QString::number(bytes);
        unit.hangsUp = true;
        if (bytes < rq70::EepromByteCount) {
            unit.verdicts = {Failure(UpdatePhase::Eeprom)};
        } else {
            // Everything is written and acknowledged before the line goes; the identification
            // query then finds the port gone (no text) or, had the loss not shown yet, no answer.
            soak::Expectation written = success;
            written.identifications = {QString(), QString::fromLatin1(rq70::NoDeviceInformation)};
            unit.verdicts = {written};
        }
        break;
    }
    case Fault::Vanish: {
        const int writes = DrawWrites(random, blocks);
        options << "--vanish-after" << QStringLiteral("write:%1").arg(writes) << "--reappear-after"
                << QString::number(Uniform(random, 0, 1000));
        // The write that pulled the adapter is never acknowledged. The same unit then comes back,
        // in the middle of that write, and its second update must succeed.
        if (writes <= blocks.count)
            unit.verdicts = {
                Failure(UpdatePhase::Program, rq70::FirstUpdatedWord + (writes - 1) * rq70::WriteBlockWords),
                success};
        else
            unit.verdicts = {success};
        break;
    }
    case Fault::Pull:
        unit.pullPhase = Chance(random, 1) ? QStringLiteral("erase") : QStringLiteral("program");
        unit.pullPercent = Uniform(random, 0, 80);
        unit.plugBackMs = Uniform(random, 0, 1000);
        unit.verdicts = {std::nullopt, success};
        break;
    case Fault::Silent:
        options << "--silent";
        break;
    case Fault::ContactBreak: {
        // A flicker ends before the slot could tell a unit that left: the failed unit stays. A
        // long break outlasts the failed run's end by more than the second of silence that tells
        // one; the same unit is then updated again, and must succeed.
        const bool flicker = Chance(random, 1);
        const int ms = flicker ? Uniform(random, 200, 450) : Uniform(random, 3500, 4500);
        if (Chance(random, 3)) {
            const int writes = Uniform(random, 1, blocks.count);
            const int word = rq70::FirstUpdatedWord + (writes - 1) * rq70::WriteBlockWords;
            options << "--break-contact" << QStringLiteral("write:%1:%2").arg(writes).arg(ms);
            // The echo that never came differs from the block at its first word.
            unit.verdicts = {Failure(UpdatePhase::Program, word, soak::VerifyMessage(word))};
        } else {
            options
                << "--break-contact"
                << QStringLiteral("eeprom:%1:%2").arg(Uniform(random, 1, rq70::EepromByteCount - 1)).arg(ms);
            unit.verdicts = {Failure(UpdatePhase::Eeprom)};
        }
        if (!flicker)
            unit.verdicts << success;
        break;
    }
    }
    if (unit.fault == Fault::Pull)
        unit.faultText = QStringLiteral("pulled by the bench at %1 %2%, back after %3 ms")
                             .arg(unit.pullPhase)
                             .arg(unit.pullPercent)
                             .arg(unit.plugBackMs);
    else
        unit.faultText = options.isEmpty() ? QStringLiteral("none") : options.join(' ');
}

} // namespace

int ShiftFile::EraseRows() const {
    return lastWord < rq70::FirstUpdatedWord ? 0 : (lastWord - rq70::FirstUpdatedWord) / 32 + 1;
}

ShiftFile DrawShiftFile(quint64 seed) {
    std::mt19937_64 random = Generator(seed, 0);
    ShiftFile file;
    // A few hundred blocks: every phase long enough to be pulled in, a unit well under a second.
    file.lastWord = Uniform(random, 768, 2047);
    for (int word = 0; word <= file.lastWord; ++word) {
        const int value = Uniform(random, 0, 0x3FFF);
        file.images.StoreProgramWord(word, value & 0xFF, value >> 8);
    }
    for (int address = 0; address < rq70::EepromByteCount; ++address)
        file.images.StoreEepromByte(address, Uniform(random, 0, 255));
    file.images.HighestProgramWord = file.lastWord;
    file.bytes = bench::UpdateFileOf(file.images, file.lastWord);
    return file;
}

QString UnitId(int number) {
    return QStringLiteral("RQ-70 unit %1").arg(number, 4, 10, QLatin1Char('0'));
}

UnitPlan DrawUnit(quint64 seed, int number, const ShiftFile& file) {
    std::mt19937_64 random = Generator(seed, number);
    UnitPlan unit;
    unit.number = number;
    unit.id = UnitId(number);
    // No fault twice as often as any one fault.
    const int pick = Uniform(random, -1, int(Fault::Count) - 1);
    unit.fault = pick < 0 ? Fault::None : Fault(pick);
    DrawFault(random, unit, file);
    unit.quickSwap = Chance(random, 1);
    if (unit.fault == Fault::Silent)
        unit.stayMs = Uniform(random, 300, 2000);
    else
        unit.stayMs = unit.quickSwap ? 0 : Uniform(random, 0, 600);
    unit.nextGapMs = unit.quickSwap ? Uniform(random, 0, 5) : Uniform(random, 0, 400);
    return unit;
}

} // namespace station
