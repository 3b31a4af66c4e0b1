// `rq70-flash station`: one slot per port, each in a thread of its own, updating unit after unit
// until the operator ends the shift with Ctrl-C.

#include "board/BoardServer.h"
#include "common/InterruptSignal.h"
#include "flash/Console.h"
#include "flash/FlashCommands.h"
#include "flash/FreeMemory.h"
#include "flash/LineShipping.h"
#include "flash/StationBoardFeed.h"
#include "flash/StationScreen.h"
#include "flash/UpdateFileLoad.h"
#include "flash/WorkerThreads.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QRandomGenerator>

#include <cstdlib>
#include <unistd.h>

namespace rq70::flash {

namespace {

// Readable, sortable and unique enough to name one shift on one station: start time and a few
// random digits, e.g. 20261208-061502-3fa9.
QString NewShiftId() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-")) +
           QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(0x10000), 4, 16, QLatin1Char('0'));
}

StationScreen::Style ScreenStyle(const FlashOptions& options) {
    if (options.json)
        return StationScreen::Style::Json;
    return ::isatty(STDOUT_FILENO) ? StationScreen::Style::Terminal : StationScreen::Style::Plain;
}

// Colour only where the terminal can show it and the user has not asked for none.
bool TerminalHasColour() {
    const QByteArray term = qgetenv("TERM");
    return !term.isEmpty() && term != "dumb" && qEnvironmentVariableIsEmpty("NO_COLOR");
}

// At the shift's end, the record's last lines get this long to reach the line's database;
// whatever has not by then goes with the next station run or `ship`.
constexpr int ShipAtShiftEndMs = 5000;

// The shift's board, when asked for: served from this thread, fed by `feed`, its record list read
// from the line's database when the station ships to one, else from the station's own record.
std::unique_ptr<board::BoardServer> ServeBoard(const FlashOptions& options, StationBoardFeed& feed) {
    const board::RecordReaders readers = options.database.isEmpty()
                                             ? board::RecordFileReaders(RecordPath(options))
                                             : board::LineDatabaseReaders(options.database);
    auto server =
        std::make_unique<board::BoardServer>([&feed] { return feed.State(); }, readers, options.httpToken);
    if (const QString error = server->Listen(options.httpAddress, quint16(options.httpPort));
        !error.isEmpty()) {
        Complain(QStringLiteral("station: cannot serve the board on %1 port %2: %3")
                     .arg(options.httpAddress.toString(), QString::number(options.httpPort), error));
        return {};
    }
    feed.PublishTo(&server->Stream());
    return server;
}

} // namespace

int Station(const FlashOptions& options) {
    const std::optional<LoadedFile> file = LoadUpdateFile(options.updateFile);
    if (!file)
        return ExitNoUpdateFile;
    qRegisterMetaType<DeviceEvent>();
    qRegisterMetaType<DeviceOutcome>();
    qRegisterMetaType<SlotEvent>();

    const QString shift = NewShiftId();
    QStringList ports;
    for (const ChosenPort& port : options.ports)
        ports << port.Name();
    ShiftTally tally(ports);
    StationScreen screen(ScreenStyle(options), TerminalHasColour(), shift, tally, stdout);
    StationBoardFeed feed(shift, options.note, file->path, tally, !options.database.isEmpty());
    std::unique_ptr<board::BoardServer> boardServer;
    if (options.httpPort >= 0) {
        boardServer = ServeBoard(options, feed);
        if (!boardServer)
            return ExitWrongArguments;
    }

    RunContext context;
    context.program = QStringLiteral("rq70-flash");
    context.version = QCoreApplication::applicationVersion();
    context.station = options.station;
    context.updateFile = file->path;
    context.updateFileFacts = file->facts;
    context.highestProgramWord = file->images.HighestProgramWord;
    context.shift = shift;
    context.note = options.note;

    QEventLoop loop;
    // Declared before the slots, which use it until their threads end.
    SlotClaims claims(ports);
    WorkerThreads<StationSlot> stationSlots;
    int ended = 0;
    for (qsizetype i = 0; i < options.ports.size(); ++i) {
        DeviceJob job{int(i), options.ports[i], file->images, RecordPath(options), options.requireRecord,
                      context};
        job.context.slot = int(i) + 1;
        StationSlot* slot =
            stationSlots.Add(new StationSlot(std::move(job), options.waitUnplug, claims), &StationSlot::Run);
        QObject::connect(slot, &StationSlot::Slot, &loop, [&](const SlotEvent& event) {
            screen.OnSlot(event);
            feed.OnSlot(event);
        });
        QObject::connect(slot, &StationSlot::Event, &loop, [&](const DeviceEvent& event) {
            screen.OnEvent(event);
            feed.OnEvent(event);
        });
        QObject::connect(slot, &StationSlot::Finished, &loop, [&](const DeviceOutcome& outcome) {
            tally.Count(outcome);
            screen.OnFinished(outcome);
            feed.OnFinished(outcome);
        });
        QObject::connect(slot, &StationSlot::Ended, &loop, [&] {
            if (++ended == stationSlots.Size())
                loop.quit();
        });
    }

    int interrupts = 0;
    InterruptSignal interrupt;
    QObject::connect(&interrupt, &InterruptSignal::Interrupted, &loop, [&](int signalNumber) {
        // A hang-up ends the shift as the first Ctrl-C does, and never stops an update.
        if (interrupts == 2 || (IsHangUp(signalNumber) && interrupts == 1))
            return;
        ++interrupts;
        screen.Interrupted(interrupts, signalNumber);
        for (StationSlot* slot : stationSlots.Workers()) {
            if (interrupts == 1)
                slot->RequestFinish();
            else
                slot->RequestStop();
        }
    });

    screen.Begin(options.note, file->path);
    if (boardServer)
        screen.BoardServed(boardServer->Url());
    // The shipper's thread starts after the slots' heap is settled, like theirs.
    ShareOneHeap();
    const std::unique_ptr<LineShipping> shipping =
        BeginShipping(RecordPath(options), options.database, &loop, screen);
    if (shipping)
        QObject::connect(shipping.get(), &LineShipping::StateChanged, &loop,
                         [&feed](const ShipperState& state) { feed.OnDatabase(state); });
    stationSlots.StartAll();
    loop.exec();
    stationSlots.EndAll();
    if (shipping) {
        const ShipperState database = shipping->Finish(ShipAtShiftEndMs);
        screen.End(&database);
    } else {
        screen.End();
    }
    return tally.ExitStatus();
}

} // namespace rq70::flash
