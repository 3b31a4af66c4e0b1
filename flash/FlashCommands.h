#pragma once

#include "image/FirmwareImages.h"
#include "link/ChosenPort.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

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
    // station: goes into every record line of the shift.
    QString note;
    // station: nothing is sent to a port between its unit's verdict and the port going away.
    bool waitUnplug = false;
    int last = 0; // history: 0 for every record
};

struct LoadedFile {
    QString path;
    FirmwareImages images;
};

// The update file as the windows load it (named, or the one beside the program), with the
// loader's messages on stderr; nothing, with the exit status set, when there is none to use.
std::optional<LoadedFile> LoadUpdateFile(const FlashOptions& options, int& exitStatus);

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

// Where the update record goes: --record, else the default record.
QString RecordPath(const FlashOptions& options);

} // namespace rq70::flash
