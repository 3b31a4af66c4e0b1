#pragma once

#include "flash/DeviceEvent.h"
#include "flash/LiveBlock.h"
#include "flash/ScreenOutput.h"
#include "record/RecordShipper.h"

#include <QElapsedTimer>
#include <QList>

#include <cstdio>
#include <memory>

namespace rq70::flash {

// How `rq70-flash update` tells its progress: one JSON object per line for line-control software;
// on a terminal one live line per device, redrawn in place; otherwise plain lines that are only
// ever appended. Every style ends with a summary (a table, or a JSON summary event).
class UpdateScreen {
public:
    enum class Style { Json, Terminal, Plain };

    UpdateScreen(Style style, const QList<ChosenPort>& ports, std::FILE* out);

    // The updates start now, on these device paths.
    void Started(const QStringList& devicePaths);
    void OnEvent(const DeviceEvent& event);
    void OnFinished(const DeviceOutcome& outcome);
    // A port did not open, so no update starts.
    void OpenFailed(int device, const OpenResult& open);
    // Ctrl-C or SIGTERM: every update stops after the row, block or EEPROM byte under way. SIGHUP:
    // the updates under way run to their end.
    void Interrupted(int signalNumber);
    void Summary(const QList<DeviceOutcome>& outcomes, int exitStatus);
    // A message for the user on stderr, which the live lines do not draw over.
    void Note(const QString& text);
    // Where shipping the record to the line's database stands (a db_backlog event in JSON).
    void OnDatabase(const ShipperState& state);
    void OnLineSetAside(const QString& reason);

private:
    struct Line {
        QString port;
        UpdatePhase phase = UpdatePhase::None;
        int percent = 0;
        int printedPercent = -1;
        QElapsedTimer clock;
        QString verdict;
    };

    void Redraw(bool force);
    QList<ShownLine> LiveLines() const;

    const Style style_;
    ScreenOutput output_;
    QList<Line> lines_;
    // On a terminal only.
    std::unique_ptr<LiveBlock> live_;
    bool started_ = false;
};

} // namespace rq70::flash
