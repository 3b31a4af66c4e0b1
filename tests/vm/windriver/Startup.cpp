// Loaded into the unmodified program with LD_PRELOAD. Once the application object exists, and
// only when RQ70_WINDRIVER_IN names the command FIFO, the driver listens on it and answers into
// RQ70_WINDRIVER_OUT; without that variable the program runs as if the library were not there.

#include "Channel.h"
#include "Driver.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

namespace {

void StartDriver() {
    const QString in = qEnvironmentVariable("RQ70_WINDRIVER_IN");
    if (in.isEmpty())
        return;
    // The application object is still being built when this runs; the driver starts on the first
    // turn of an event loop, which may be a message box's during start-up.
    QTimer::singleShot(0, QCoreApplication::instance(), [in] {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            qWarning("rq70-windriver: this program has no windows; not driving it");
            return;
        }
        QString out = qEnvironmentVariable("RQ70_WINDRIVER_OUT");
        if (out.isEmpty())
            out = in + QStringLiteral(".out");
        auto* channel = new windriver::Channel;
        channel->setParent(QCoreApplication::instance());
        const QString problem = channel->Open(in, out);
        if (!problem.isEmpty()) {
            qWarning("rq70-windriver: %s", qPrintable(problem));
            delete channel;
            return;
        }
        auto* driver = new windriver::Driver(*channel);
        driver->setParent(channel);
        QObject::connect(channel, &windriver::Channel::lineReceived, driver, &windriver::Driver::Receive);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, driver, &windriver::Driver::ProgramEnding);
        channel->Write({{"event", "ready"}, {"pid", qint64(::getpid())}});
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
