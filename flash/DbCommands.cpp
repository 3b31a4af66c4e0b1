// rq70-flash ship and db init: the line's database by hand, beside the stations that ship to it.

#include "common/InterruptSignal.h"
#include "flash/Console.h"
#include "flash/FlashCommands.h"
#include "flash/LineShipping.h"
#include "record/LineSchema.h"
#include "record/PgConnection.h"
#include "record/RecordShipper.h"

#include <QEventLoop>

#include <cstdio>

namespace rq70::flash {

namespace {

constexpr int ConnectTimeoutMs = 10000;
constexpr int StatementTimeoutMs = 60000;

void ReportState(const FlashOptions& options, const ShipperState& state) {
    if (options.json)
        SayJson(BacklogEvent(state));
    else
        Complain(BacklogText(state));
}

} // namespace

int DbInit(const FlashOptions& options) {
    if (options.print) {
        std::fputs(LineSchemaSql().constData(), stdout);
        std::fputs("-- What a station's role needs, and nothing more: it adds lines and reads them,\n"
                   "-- and can change none. Create the role first, e.g.:\n"
                   "--   CREATE ROLE rq70_station LOGIN;\n",
                   stdout);
        std::fputs(StationGrantSql(QStringLiteral("rq70_station")).constData(), stdout);
        return ExitAllUpdated;
    }
    PgConnection connection;
    if (const QString error = connection.Open(options.database, ConnectTimeoutMs); !error.isEmpty()) {
        Complain(QStringLiteral("cannot reach the database (%1): %2")
                     .arg(ConninfoForDisplay(options.database), error));
        return ExitDatabase;
    }
    const PgResult result = connection.Exec(LineSchemaSql(), {}, StatementTimeoutMs);
    if (!result.ok) {
        Complain(QStringLiteral("the database refused to set up %1: %2")
                     .arg(QLatin1String(LineTable), result.error));
        return ExitDatabase;
    }
    Say(QStringLiteral("the table %1 is ready in %2")
            .arg(QLatin1String(LineTable), ConninfoForDisplay(options.database)));
    return ExitAllUpdated;
}

int Ship(const FlashOptions& options) {
    const QString record = RecordPath(options);
    RecordShipper shipper(record, options.database);
    QObject::connect(&shipper, &RecordShipper::LineSetAside, [&](const QString& reason) {
        if (options.json)
            SayJson({{"event", "db_set_aside"}, {"reason", reason}});
        else
            Complain(QStringLiteral("a record line was set aside: ") + reason);
    });
    if (!options.follow) {
        // One pass over what the record holds now.
        shipper.Begin();
        const ShipperState state = shipper.State();
        if (options.json)
            SayJson({{"event", "summary"},
                     {"shipped", state.shipped},
                     {"waiting", state.waiting},
                     {"set_aside", state.setAside},
                     {"reason",
                      state.reason.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(state.reason)}});
        else
            Say(QStringLiteral("%1 line(s) of %2 shipped, %3 set aside, %4 waiting%5")
                    .arg(QString::number(state.shipped), record, QString::number(state.setAside),
                         QString::number(state.waiting),
                         state.waiting > 0 ? QStringLiteral(": ") + state.reason : QString()));
        return state.waiting == 0 ? ExitAllUpdated : ExitDatabase;
    }

    // Following: until a signal, retrying while the database is away.
    QEventLoop loop;
    QObject::connect(&shipper, &RecordShipper::StateChanged, &loop,
                     [&](const ShipperState& state) { ReportState(options, state); });
    QObject::connect(&shipper, &RecordShipper::Finished, &loop, &QEventLoop::quit);
    InterruptSignal interrupt;
    QObject::connect(&interrupt, &InterruptSignal::Interrupted, &loop, [&](int signalNumber) {
        if (options.json)
            SayJson({{"event", "interrupted"}, {"signal", SignalName(signalNumber)}});
        shipper.Finish(5000);
    });
    shipper.Begin();
    loop.exec();
    const ShipperState state = shipper.State();
    if (!options.json)
        Complain(QStringLiteral("%1 line(s) shipped; ").arg(state.shipped) + BacklogText(state));
    return ExitAllUpdated;
}

} // namespace rq70::flash
