#pragma once

#include "flash/LiveBlock.h"
#include "flash/ScreenOutput.h"
#include "flash/ShiftSummary.h"
#include "flash/StationSlot.h"
#include "record/RecordShipper.h"

#include <QElapsedTimer>

#include <cstdio>
#include <memory>

namespace rq70::flash {

// What a station shows while its shift runs. On a terminal: the shift's totals and elapsed time
// on top and one line per slot, redrawn in place, verdicts in colour where the terminal has it.
// Elsewhere: plain lines that are only ever appended. --json: one event per line. The counts come
// from the shift's tally, which the screen only reads.
class StationScreen {
public:
    enum class Style { Json, Terminal, Plain };

    StationScreen(Style style, bool colour, const QString& shift, const ShiftTally& tally, std::FILE* out);

    // The shift begins.
    void Begin(const QString& note, const QString& updateFile);
    // The shift's board is served at `url`.
    void BoardServed(const QString& url);
    void OnSlot(const SlotEvent& event);
    void OnEvent(const DeviceEvent& event);
    // A unit's verdict, once the tally has counted it.
    void OnFinished(const DeviceOutcome& outcome);
    // Ctrl-C or SIGTERM: the first takes no new units (stage 1), the second stops the updates
    // (stage 2). SIGHUP is only ever stage 1.
    void Interrupted(int stage, int signalNumber);
    // Lines waiting for the line's database (or none any more), and a line it refused for good.
    void OnDatabase(const ShipperState& state);
    void OnLineSetAside(const QString& reason);
    // The shift summary; with where the record's shipping ended when the shift had a database.
    void End(const ShipperState* database = nullptr);
    // A message for the user on stderr; the live lines start afresh below it.
    void Note(const QString& text);

private:
    enum class State { NoPort, CannotOpen, Waiting, Updating, Succeeded, Failed };
    struct Line {
        QString port;
        State state = State::NoPort;
        UpdatePhase phase = UpdatePhase::None;
        int percent = 0;
        int printedPercent = -1;
        QElapsedTimer clock;
        int unit = 0;
        // The reason a port does not open, the identification after a success, what failed.
        QString detail;
        bool lastSucceeded = false;
    };

    void PrintJson(QJsonObject object, int slot = -1);
    void Redraw(bool force);
    QList<ShownLine> LiveLines() const;
    ShownLine StateText(const Line& line) const;
    QString Label(int slot) const;

    const Style style_;
    const QString shift_;
    const ShiftTally& tally_;
    ScreenOutput output_;
    QList<Line> lines_;
    QElapsedTimer shiftClock_;
    // On a terminal only.
    std::unique_ptr<LiveBlock> live_;
};

} // namespace rq70::flash
