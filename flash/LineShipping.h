#pragma once

#include "record/RecordShipper.h"

#include <QObject>
#include <QThread>

#include <memory>

namespace rq70::flash {

// The shipper of a command's record to the line's database, in a thread of its own so that a
// database that is slow or away never holds up an update. Its reports arrive in the thread that
// made this object.
class LineShipping : public QObject {
    Q_OBJECT

public:
    LineShipping(const QString& recordPath, const QString& conninfo);
    ~LineShipping() override;

    void Begin();
    // A last pass of at most `withinMs` (a little more if a host name is still being looked up),
    // then the thread ends. Returns where shipping stands.
    ShipperState Finish(int withinMs);

signals:
    void StateChanged(const rq70::ShipperState& state);
    void LineSetAside(const QString& reason);

private:
    QThread thread_;
    RecordShipper* shipper_;
    bool finished_ = false;
    ShipperState last_;
};

// The shipper of `recordPath` when the command has a database (else none), begun, its reports
// going to `screen` (OnDatabase, OnLineSetAside) in the thread of `context`.
template <class Screen>
std::unique_ptr<LineShipping> BeginShipping(const QString& recordPath, const QString& database,
                                            QObject* context, Screen& screen) {
    if (database.isEmpty())
        return {};
    auto shipping = std::make_unique<LineShipping>(recordPath, database);
    QObject::connect(shipping.get(), &LineShipping::StateChanged, context,
                     [&screen](const ShipperState& state) { screen.OnDatabase(state); });
    QObject::connect(shipping.get(), &LineShipping::LineSetAside, context,
                     [&screen](const QString& reason) { screen.OnLineSetAside(reason); });
    shipping->Begin();
    return shipping;
}

// One line for a person: "3 record line(s) wait for the database since 14:02:11: <why>", or that
// every line is in it.
QString BacklogText(const ShipperState& state);
// The db_backlog event.
QJsonObject BacklogEvent(const ShipperState& state);

} // namespace rq70::flash
