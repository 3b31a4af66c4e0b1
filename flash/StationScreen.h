#pragma once

#include "flash/ScreenOutput.h"
#include "flash/ShiftSummary.h"
#include "flash/StationSlot.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

namespace rq70::flash {

// What a station shows while its shift runs. On a terminal: the shift's totals and elapsed time
// on top and one line per slot, redrawn in place, verdicts in colour where the terminal has it.
// Elsewhere: plain lines that are only ever appended. --json: one event per line.
class StationScreen {
public:
    enum class Style { Json, Terminal, Plain };

    StationScreen(Style style, bool colour, const QString& shift, const QStringList& ports, std::FILE* out);

    // The shift begins.
    void Begin(const QString& note, const QString& updateFile);
    void OnSlot(const SlotEvent& event);
    void OnEvent(const DeviceEvent& event);
    void OnFinished(const DeviceOutcome& outcome, const ShiftTally& tally);
    // Ctrl-C or SIGTERM: the first takes no new units (stage 1), the second stops the updates
    // (stage 2). SIGHUP is only ever stage 1.
    void Interrupted(int stage, int signalNumber);
    void End(const ShiftTally& tally);
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
        int succeeded = 0;
        int failed = 0;
    };

    void PrintJson(QJsonObject object, int slot = -1);
    void Redraw(bool force);
    QString StateText(const Line& line) const;
    QString Label(int slot) const;

    const Style style_;
    const bool colour_;
    const QString shift_;
    ScreenOutput output_;
    QList<Line> lines_;
    QElapsedTimer shiftClock_;
    QElapsedTimer sinceRedraw_;
    QTimer ticker_;
    int units_ = 0;
    int succeeded_ = 0;
    int failed_ = 0;
    int drawnRows_ = 0;
    int drawnWidth_ = 0;
};

} // namespace rq70::flash
