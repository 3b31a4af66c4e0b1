#pragma once

#include "link/ChosenPort.h"
#include "record/RecordFile.h"
#include "record/RecordFilter.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace rq70::flash {

// The exit statuses of rq70-flash, as --help and the README give them.
enum ExitStatus {
    ExitAllUpdated = 0,
    ExitUpdateFailed = 1,
    ExitWrongArguments = 2,
    ExitNoUpdateFile = 3,
    ExitPortNotOpened = 4,
    ExitNoDevice = 5,
    // --require-record: an update whose record line could not be written.
    ExitRecordNotWritten = 6,
    // ship, db init, history --db: the line's database cannot be reached or refused; with ship,
    // record lines still wait for it.
    ExitDatabase = 7,
};

struct FlashOptions {
    QString command;
    QString updateFile; // "" to look beside the executable, as the windows do
    // Resolved once, as given: every later open follows the device each one named then.
    QList<ChosenPort> ports;
    bool detect = false;
    bool json = false;
    QString recordPath; // "" for the default record
    // An update counts only once its record line is on disk.
    bool requireRecord = false;
    // update, station: the station named in every record line; "" for the host name.
    QString station;
    // station: goes into every record line of the shift.
    QString note;
    // station: nothing is sent to a port between its unit's verdict and the port going away.
    bool waitUnplug = false;
    // station: the address its web board listens on, and the file holding the board's token; ""
    // for none. From a config file's http and http-token-file keys.
    QString http;
    QString httpTokenFile;
    // The line's database (a libpq connection string, or "service=NAME"); "" for none.
    QString database;
    bool follow = false; // ship: keep following the record
    bool print = false;  // db init: print the SQL instead
    int last = 0;        // history: 0 for every record
    // history: which records; an empty filter for all of them.
    RecordFilter filter;
    bool csv = false; // history: CSV in place of the table
    // station: the board's address and port (-1: no board), and its token ("" on loopback: none).
    QHostAddress httpAddress;
    int httpPort = -1;
    QByteArray httpToken;
};

struct DeviceOutcome;
// 0 when every device was updated (and recorded where required), 6 when a required record line is
// missing, else 1.
int ExitStatusOf(const QList<DeviceOutcome>& outcomes);

int ListPorts(const FlashOptions& options);
int Detect(const FlashOptions& options);
int Info(const FlashOptions& options);
int Update(const FlashOptions& options);
int History(const FlashOptions& options);
int Station(const FlashOptions& options);
int Ship(const FlashOptions& options);
int DbInit(const FlashOptions& options);

// Where the update record goes: --record, else the default record.
inline QString RecordPath(const FlashOptions& options) {
    return options.recordPath.isEmpty() ? UpdateRecordPath() : options.recordPath;
}

} // namespace rq70::flash
