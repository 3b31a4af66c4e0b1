#include "SimulatedDevice.h"

#include "link/BootLoaderBytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>

#include <csignal>

SimulatedDevice::SimulatedDevice() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimulatedDevice::~SimulatedDevice() {
    Stop();
}

bool SimulatedDevice::Start(int n, const QStringList& options, const QString& portDir) {
    portDir_ = portDir.isEmpty() ? dir_.path() : portDir;
    QStringList arguments{QStringLiteral("--port-dir"), portDir_,
                          QStringLiteral("--port"),     QStringLiteral("COM%1").arg(n),
                          QStringLiteral("--dump"),     dir_.filePath(QStringLiteral("dump.json")),
                          QStringLiteral("--log"),      dir_.filePath(QStringLiteral("bytes.log"))};
    arguments << options;
    process_.start(QStringLiteral(RQ70_DEVSIM_PATH), arguments);
    if (!process_.waitForStarted(5000)) {
        qWarning("rq70-devsim did not start: %s", qPrintable(process_.errorString()));
        return false;
    }
    // The simulator prints its pty path once the link is in place.
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(5000)) {
            qWarning("rq70-devsim did not report its pty");
            return false;
        }
    }
    ptyPath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    return QFileInfo::exists(QDir(portDir_).filePath(QStringLiteral("COM%1").arg(n)));
}

bool SimulatedDevice::Stop() {
    if (process_.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished();
            return false;
        }
        return ReadDump();
    }
    return !dump_.isEmpty() || ReadDump();
}

bool SimulatedDevice::Signal(int number) {
    return process_.state() == QProcess::Running &&
           ::kill(static_cast<pid_t>(process_.processId()), number) == 0;
}

bool SimulatedDevice::WaitForExit(int timeoutMs) {
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs))
        return false;
    return ReadDump();
}

bool SimulatedDevice::ReadDump() {
    QFile file(dir_.filePath(QStringLiteral("dump.json")));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    dump_ = QJsonDocument::fromJson(file.readAll()).object();
    return !dump_.isEmpty();
}

int SimulatedDevice::CommandCount(const QString& name) const {
    return dump_.value(QStringLiteral("commands")).toObject().value(name).toInt(-1);
}

QList<SimulatedDevice::LoggedByte> SimulatedDevice::Log() const {
    QList<LoggedByte> bytes;
    QFile file(dir_.filePath(QStringLiteral("bytes.log")));
    if (!file.open(QIODevice::ReadOnly))
        return bytes;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        // A line the simulator is still writing is read next time.
        if (!line.endsWith('\n'))
            break;
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() == 3)
            bytes.append({fields[0].toLongLong(), fields[1] == "in", fields[2].toInt(nullptr, 16)});
    }
    return bytes;
}

QList<SimulatedDevice::HostCommand> SimulatedDevice::HostCommands() const {
    const QList<LoggedByte> log = Log();
    // Parameters follow a command only when the device acknowledged it.
    const auto parameterCount = [](int command) {
        switch (command) {
        case rq70::EraseRowCommand:
            return 2;
        case rq70::WriteProgramCommand:
            return 10;
        case rq70::WriteEepromCommand:
            return 2;
        case rq70::ReadByteCommand:
            return 1;
        default:
            return 0;
        }
    };
    QList<HostCommand> commands;
    for (qsizetype i = 0; i < log.size(); ++i) {
        if (!log[i].fromHost)
            continue;
        HostCommand command{log[i].value, -1};
        const int count = parameterCount(command.command);
        if (count > 0 && i + 1 < log.size() && !log[i + 1].fromHost && log[i + 1].value == rq70::AckByte) {
            QList<int> parameters;
            qsizetype j = i + 2;
            for (; j < log.size() && parameters.size() < count; ++j) {
                if (log[j].fromHost)
                    parameters << log[j].value;
            }
            if (parameters.size() >= 1)
                command.address = parameters[0];
            if (command.command == rq70::EraseRowCommand || command.command == rq70::WriteProgramCommand)
                command.address = parameters.size() >= 2 ? parameters[0] | parameters[1] << 8 : -1;
            command.parameters = int(parameters.size());
            i = j - 1;
        }
        commands.append(command);
    }
    return commands;
}
