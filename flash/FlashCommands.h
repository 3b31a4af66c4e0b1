#pragma once

#include "link/ChosenPort.h"

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
};

struct FlashOptions {
    QString command;
    QString updateFile; // "" to look beside the executable, as the windows do
    // Resolved once, as given: every later open follows the device each one named then.
    QList<ChosenPort> ports;
    bool detect = false;
    bool json = false;
    QString recordPath; // "" for the default record
    int last = 0;       // history: 0 for every record
    QString shift;      // history: "" for every shift
};

int ListPorts(const FlashOptions& options);
int Detect(const FlashOptions& options);
int Info(const FlashOptions& options);
int Update(const FlashOptions& options);
int History(const FlashOptions& options);

} // namespace rq70::flash
