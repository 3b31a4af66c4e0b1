#include "flash/LineShipping.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

namespace rq70::flash {

LineShipping::LineShipping(const QString& recordPath, const QString& conninfo)
    : shipper_(new RecordShipper(recordPath, conninfo)) {
    shipper_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, shipper_, &QObject::deleteLater);
    connect(shipper_, &RecordShipper::StateChanged, this, [this](const ShipperState& state) {
        last_ = state;
        emit StateChanged(state);
    });
    connect(shipper_, &RecordShipper::LineSetAside, this, &LineShipping::LineSetAside);
}

LineShipping::~LineShipping() {
    Finish(0);
}

void LineShipping::Begin() {
    thread_.start();
    QMetaObject::invokeMethod(shipper_, &RecordShipper::Begin, Qt::QueuedConnection);
}

ShipperState LineShipping::Finish(int withinMs) {
    if (finished_)
        return last_;
    finished_ = true;
    if (!thread_.isRunning())
        return last_;
    QEventLoop loop;
    connect(shipper_, &RecordShipper::Finished, &loop, [&](const ShipperState& state) {
        last_ = state;
        loop.quit();
    });
    QMetaObject::invokeMethod(
        shipper_, [this, withinMs] { shipper_->Finish(withinMs); }, Qt::QueuedConnection);
    // Every wait of the shipper ends by the deadline; this one only guards against a pass that
    // could not see it.
    QTimer::singleShot(withinMs + 5000, &loop, &QEventLoop::quit);
    loop.exec();
    thread_.quit();
    thread_.wait();
    return last_;
}

QString BacklogText(const ShipperState& state) {
    if (state.waiting == 0)
        return QStringLiteral("database: every record line is in the line's database");
    const QString since =
        state.oldest.isValid()
            ? QStringLiteral(" since %1").arg(state.oldest.toLocalTime().toString(QStringLiteral("HH:mm:ss")))
            : QString();
    return QStringLiteral("database: %1 record line(s) waiting%2: %3")
        .arg(QString::number(state.waiting), since,
             state.reason.isEmpty() ? QStringLiteral("not sent yet") : state.reason);
}

QJsonObject BacklogEvent(const ShipperState& state) {
    return {{"event", "db_backlog"},
            {"lines", state.waiting},
            {"oldest", state.oldest.isValid() ? QJsonValue(state.oldest.toUTC().toString(Qt::ISODateWithMs))
                                              : QJsonValue(QJsonValue::Null)},
            {"reason", state.reason.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(state.reason)}};
}

} // namespace rq70::flash
