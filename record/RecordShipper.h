#pragma once

#include "record/PgConnection.h"
#include "record/ShipCursor.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileSystemWatcher>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

class QFile;

namespace rq70 {

// Where the shipping of a record stands.
struct ShipperState {
    // Lines this shipper has seen committed (new to the database or already in it).
    qint64 shipped = 0;
    // Whole lines after the cursor, and the time of the oldest of them ("end", else "start").
    qint64 waiting = 0;
    QDateTime oldest;
    // Why lines wait; empty while none has failed to go.
    QString reason;
    // Lines the database refused for good, kept aside.
    qint64 setAside = 0;
};

// Follows a record file into the line's database, in the thread it lives in. Each line goes
// once: the record stays the truth, the cursor beside it moves only after the database has
// committed what lies before it, and a line sent twice (after a crash between the commit and the
// cursor) is passed over by its id. The database being away only delays the lines: the shipper
// tries again after 1 s, then twice as long each time up to 30 s.
class RecordShipper : public QObject {
    Q_OBJECT

public:
    RecordShipper(QString recordPath, QString conninfo, QObject* parent = nullptr);
    ~RecordShipper() override;

    ShipperState State() const { return state_; }

    // Lines per transaction.
    static constexpr int BatchLines = 300;

public slots:
    // Ships what the record holds, then follows it as it grows.
    void Begin();
    // The record may have grown.
    void Nudge();
    // One last pass, with everything it waits for cut short after `withinMs`; Finished follows.
    void Finish(int withinMs);

signals:
    // After a pass, when the lines waiting or the reason changed.
    void StateChanged(const rq70::ShipperState& state);
    // Once for each line the database refused for good.
    void LineSetAside(const QString& reason);
    void Finished(const rq70::ShipperState& state);

private:
    enum class Outcome { Shipped, Waiting };
    struct Line;

    void Pass();
    Outcome ShipWhatIsThere();
    // Sends `lines` in one statement; on a refusal of the data, one by one to find the lines at
    // fault. Moves the cursor past what went.
    Outcome Send(const QList<Line>& lines);
    bool SendOne(const QList<Line>& lines, PgResult& result);
    Outcome Wait(const QString& reason);
    bool CursorFits(QFile& file) const;
    // Moves the cursor past `last`, once the database has it.
    bool Advance(const Line& last);
    void SetAside(const Line& line, const QString& reason);
    void CountWaiting();
    int TimeLeft(int wanted) const;
    void Watch();

    QString recordPath_;
    QString conninfo_;
    ShipCursor cursor_;
    PgConnection connection_;
    ShipperState state_;
    ShipperState reported_;
    // Children, so that they move to the shipper's thread with it.
    QTimer retry_;
    int backoffMs_ = 1000;
    QFileSystemWatcher watcher_;
    bool busy_ = false;
    bool again_ = false;
    bool finishing_ = false;
    bool finished_ = false;
    QDeadlineTimer finishBy_{QDeadlineTimer::Forever};
};

} // namespace rq70

Q_DECLARE_METATYPE(rq70::ShipperState)
