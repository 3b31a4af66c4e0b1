#pragma once

#include "SoakCase.h"

#include "image/FirmwareImages.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the station bench draws: the shift's one update file, and for every unit that arrives in a
// slot how it misbehaves, how long it stays and what the station must report for it. Everything
// comes from the seed and the unit's number alone, so one unit replays by itself.
namespace station {

// The update file of the whole shift: program words 0..lastWord and all EEPROM bytes, at random.
struct ShiftFile {
    rq70::FirmwareImages images;
    int lastWord = 0;
    // Scrambled, as the station reads it.
    QByteArray bytes;
    // Erase commands one update sends: the rows from word 256 up to lastWord.
    int EraseRows() const;
};

ShiftFile DrawShiftFile(quint64 seed);

enum class Fault {
    None,
    CorruptEcho,
    DropEcho,
    NakWrite,
    NakErase,
    HangUpAfterWrites,
    HangUpAfterEeprom,
    // The adapter pulled at the Nth write and plugged back by the simulator itself.
    Vanish,
    // The adapter pulled by the bench at a progress event and plugged back later.
    Pull,
    // A device that never answers: never a unit for the station.
    Silent,
    // The cradle's contact breaks right after a write's or an EEPROM write's acknowledge and comes
    // back, the port staying: for long enough that the unit leaves by silence and is updated
    // again, or for a flicker that it stays through.
    ContactBreak,
    Count
};

struct UnitPlan {
    int number = 0;
    // Its identification text, which a success reports.
    QString id;
    Fault fault = Fault::None;
    // How the fault reads in a report.
    QString faultText;
    QStringList deviceOptions;
    // The verdicts the station must give it, in order; none for a silent unit. An empty entry
    // takes any verdict: a pull may come after the run it aimed at had already ended.
    QList<std::optional<soak::Expectation>> verdicts;
    // Whether the simulator ends by itself, having hung up the line.
    bool hangsUp = false;
    // A pull by the bench: at the first progress event of pullPhase ("erase" or "program") at or
    // past pullPercent, or of any later phase; plugged back plugBackMs after.
    QString pullPhase;
    int pullPercent = 0;
    int plugBackMs = 0;
    // How long it stays once its last verdict is in (a silent unit: once it is there), and how
    // long its slot stays empty after it has left; a quick swap: no stay, a few ms of gap.
    int stayMs = 0;
    int nextGapMs = 0;
    bool quickSwap = false;
};

UnitPlan DrawUnit(quint64 seed, int number, const ShiftFile& file);

// The identification text of unit `number`.
QString UnitId(int number);

} // namespace station
