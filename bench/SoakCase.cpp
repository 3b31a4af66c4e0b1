#include "SoakCase.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceQuery.h"

namespace soak {

using rq70::UpdatePhase;

Blocks::Blocks(int lastWord) {
    if (lastWord >= rq70::FirstUpdatedWord) {
        count = (lastWord - rq70::FirstUpdatedWord) / rq70::WriteBlockWords + 1;
        last = rq70::FirstUpdatedWord + (count - 1) * rq70::WriteBlockWords;
    }
}

int Blocks::Holding(int word) const {
    const int block = word - word % rq70::WriteBlockWords;
    return count > 0 && block >= rq70::FirstUpdatedWord && block <= last ? block : -1;
}

int FirstWordOffByDrop(const rq70::FirmwareImages& images, int block, int index) {
    const auto sent = [&](int position) {
        const int word = block + position / 2;
        return position % 2 == 0 ? images.LowByte(word) : images.HighByte(word);
    };
    int position = index;
    while (position < 2 * rq70::WriteBlockWords - 1 && sent(position + 1) == sent(position))
        ++position;
    return block + position / 2;
}

QString VerifyMessage(int word) {
    return QStringLiteral("Error on Verify at Adress ") + QString::number(word);
}

namespace {

// rq70-devsim's identification text unless told otherwise, at data bytes 208..221 with its
// terminator at 222: the last byte the identification query reads.
const QString DeviceId = QStringLiteral("RQ-70 Boot 1.0");
constexpr int LastIdentificationRead = 208 + 14;

// Where nothing can come in time anyway (a silent device) the tests' short wait keeps the run
// quick; everywhere else the program's own wait, so that a busy machine cannot turn a late reply
// into a wrong verdict.
constexpr int ShortReplyTimeoutMs = 100;

enum class Fault {
    None,
    Silent,
    Nak,
    IgnoreProbes,
    CorruptEcho,
    DropEcho,
    Delay,
    HangUpAfterWrites,
    HangUpAfterEeprom,
    Count
};

int Uniform(std::mt19937_64& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

bool Chance(std::mt19937_64& random, int inFour) {
    return Uniform(random, 1, 4) <= inFour;
}

int DrawLastWord(std::mt19937_64& random, bool repliesWait) {
    const int pick = Uniform(random, 0, 19);
    if (pick < 2)
        return Uniform(random, 0, 255); // no program data to update: EEPROM only
    if (pick == 2)
        return 256; // one row, one block
    // Where every reply costs a wait, a few rows and blocks show all there is to see.
    if (repliesWait)
        return Uniform(random, 257, 511);
    // Now and then the whole device.
    if (pick == 3)
        return rq70::ProgramWordCount - 1;
    return Uniform(random, 257, 1279);
}

// A program word for a fault to name: mostly one the update writes.
int DrawWord(std::mt19937_64& random, const Blocks& blocks) {
    if (blocks.count > 0 && Chance(random, 3))
        return Uniform(random, rq70::FirstUpdatedWord, blocks.last + rq70::WriteBlockWords - 1);
    return Uniform(random, 0, rq70::ProgramWordCount - 1);
}

void ExpectFailure(Expectation& expect, UpdatePhase phase, int word = -1, const QString& message = {}) {
    expect.success = false;
    expect.phase = phase;
    expect.word = word;
    expect.verifyMessage = message;
}

void DrawNak(std::mt19937_64& random, SoakCase& run, const Blocks& blocks) {
    static const QStringList commands{"probe", "read", "erase", "write", "eeprom"};
    const QString command = commands[Uniform(random, 0, int(commands.size()) - 1)];
    int address = -1;
    if (command != "probe" && Chance(random, 2)) {
        if (command == "read")
            address = Uniform(random, 208, 255);
        else if (command == "eeprom")
            address = Uniform(random, 0, rq70::EepromByteCount - 1);
        else
            address = DrawWord(random, blocks);
    }
    run.deviceOptions << "--nak" << (address < 0 ? command : command + '@' + QString::number(address));
    if (Chance(random, 2)) {
        int wrong = rq70::AckByte;
        while (wrong == rq70::AckByte)
            wrong = Uniform(random, 0, 255);
        run.deviceOptions << "--nak-byte" << QString::number(wrong);
    }

    // A fresh device is erased throughout, so a refused erase row changes nothing; the update
    // itself never probes.
    if (command == "write") {
        const int block =
            address < 0 ? (blocks.count > 0 ? rq70::FirstUpdatedWord : -1) : blocks.Holding(address);
        if (block >= 0)
            ExpectFailure(run.expect, UpdatePhase::Program, block);
    } else if (command == "eeprom") {
        ExpectFailure(run.expect, UpdatePhase::Eeprom);
    } else if (command == "read" && address <= LastIdentificationRead) {
        run.expect.identifications = {QString::fromLatin1(rq70::NoDeviceInformation)};
    }
}

} // namespace

SoakCase DrawCase(std::mt19937_64& random) {
    SoakCase run;
    // No fault twice as often as any one fault.
    const int pick = Uniform(random, -1, int(Fault::Count) - 1);
    const Fault fault = pick < 0 ? Fault::None : Fault(pick);
    run.lastWord = DrawLastWord(random, fault == Fault::Silent || fault == Fault::Delay);
    for (int word = 0; word <= run.lastWord; ++word) {
        const int value = Uniform(random, 0, 0x3FFF);
        run.images.StoreProgramWord(word, value & 0xFF, value >> 8);
    }
    for (int address = 0; address < rq70::EepromByteCount; ++address)
        run.images.StoreEepromByte(address, Uniform(random, 0, 255));
    run.images.HighestProgramWord = run.lastWord;

    const Blocks blocks(run.lastWord);
    run.replyTimeoutMs = rq70::SerialLink::ReplyTimeoutMs;
    run.expect.identifications = {DeviceId};
    Expectation& expect = run.expect;
    QStringList& options = run.deviceOptions;
    switch (fault) {
    case Fault::None:
    case Fault::Count:
        break;
    case Fault::Silent:
        // Every erase row waits in vain and is passed over; the first command that must be
        // acknowledged ends the run.
        options << "--silent";
        run.replyTimeoutMs = ShortReplyTimeoutMs;
        ExpectFailure(expect, blocks.count > 0 ? UpdatePhase::Program : UpdatePhase::Eeprom,
                      blocks.count > 0 ? rq70::FirstUpdatedWord : -1);
        break;
    case Fault::Nak:
        DrawNak(random, run, blocks);
        break;
    case Fault::IgnoreProbes:
        options << "--ignore-probes" << QString::number(Uniform(random, 1, 5));
        break;
    case Fault::CorruptEcho: {
        const int word = DrawWord(random, blocks);
        static const QStringList sides{"", ":low", ":high"};
        options << "--corrupt-echo" << QString::number(word) + sides[Uniform(random, 0, 2)];
        if (blocks.Holding(word) >= 0)
            ExpectFailure(expect, UpdatePhase::Program, word, VerifyMessage(word));
        break;
    }
    case Fault::DropEcho: {
        const int word = DrawWord(random, blocks);
        const bool indexGiven = Chance(random, 3);
        const int index = indexGiven ? Uniform(random, 0, 7) : 7;
        options << "--drop-echo"
                << (indexGiven ? QStringLiteral("%1:%2").arg(word).arg(index) : QString::number(word));
        if (const int block = blocks.Holding(word); block >= 0) {
            const int failed = FirstWordOffByDrop(run.images, block, index);
            ExpectFailure(expect, UpdatePhase::Program, failed, VerifyMessage(failed));
        }
        break;
    }
    case Fault::Delay:
        options << "--delay" << QString::number(Uniform(random, 1, 2));
        break;
    case Fault::HangUpAfterWrites: {
        const int writes = blocks.count > 0 && Chance(random, 3) ? Uniform(random, 1, blocks.count)
                                                                 : Uniform(random, 1, 4200);
        options << "--hangup-after-writes" << QString::number(writes);
        // The next command after the line went away gets no acknowledge.
        if (writes < blocks.count)
            ExpectFailure(expect, UpdatePhase::Program,
                          rq70::FirstUpdatedWord + writes * rq70::WriteBlockWords);
        else if (writes == blocks.count)
            ExpectFailure(expect, UpdatePhase::Eeprom);
        break;
    }
    case Fault::HangUpAfterEeprom: {
        const int bytes =
            Chance(random, 1) ? rq70::EepromByteCount : Uniform(random, 1, rq70::EepromByteCount);
        options << "--hangup-after-eeprom" << QString::number(bytes);
        if (bytes < rq70::EepromByteCount)
            ExpectFailure(expect, UpdatePhase::Eeprom);
        else
            // Everything is written and acknowledged before the line goes; the identification
            // query then finds the port gone (no text) or, had the loss not shown yet, no answer.
            expect.identifications = {QString(), QString::fromLatin1(rq70::NoDeviceInformation)};
        break;
    }
    }
    run.fault = options.isEmpty() ? QStringLiteral("none") : options.join(' ');
    return run;
}

QString Mismatch(const Expectation& expect, const Observation& seen) {
    if (!seen.problem.isEmpty())
        return seen.problem;
    const auto verdict = [](bool success) { return success ? "success" : "failure"; };
    if (seen.success != expect.success)
        return QStringLiteral("reported %1, expected %2").arg(verdict(seen.success), verdict(expect.success));
    if (expect.success && !expect.identifications.contains(seen.identification))
        return QStringLiteral("identification \"%1\", expected \"%2\"")
            .arg(seen.identification, expect.identifications.join("\" or \""));
    if (!expect.success && (seen.phase != expect.phase || seen.word != expect.word))
        return QStringLiteral("failed in phase \"%1\" at word %2, expected \"%3\" at word %4")
            .arg(rq70::PhaseName(seen.phase))
            .arg(seen.word)
            .arg(rq70::PhaseName(expect.phase))
            .arg(expect.word);
    const QStringList messages =
        expect.verifyMessage.isEmpty() ? QStringList() : QStringList{expect.verifyMessage};
    if (seen.verifyMessages != messages)
        return QStringLiteral("verify messages [%1], expected [%2]")
            .arg(seen.verifyMessages.join(", "), messages.join(", "));
    return {};
}

} // namespace soak
