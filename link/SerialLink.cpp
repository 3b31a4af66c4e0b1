#include "link/SerialLink.h"

#include "link/AdapterLatency.h"
#include "link/ComPorts.h"
#include "link/DriverWrite.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rq70 {

namespace {

// The group that owns a device node, for telling the technician how to get access to it.
QString OwningGroup(const QString& devicePath) {
    struct stat info {};
    if (::stat(devicePath.toLocal8Bit().constData(), &info) != 0)
        return {};
    // The reentrant call: several device threads may describe a failed open at once.
    struct group entry {};
    struct group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return QString::number(info.st_gid);
    return QString::fromLocal8Bit(found->gr_name);
}

} // namespace

SerialLink::SerialLink(QObject* parent) : QObject(parent) {
    Timer2.setInterval(MonitorIntervalMs);
    replyDeadline_.setSingleShot(true);
    replyDeadline_.setTimerType(Qt::PreciseTimer);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLink::OnPortError);
}

SerialLink::~SerialLink() {
    Close();
}

void SerialLink::ApplyLineSettings() {
    // QSerialPort keeps these while closed and applies them on every open, always in raw mode, so
    // every byte 0x00-0xFF passes both ways untouched.
    port_.setBaudRate(4800);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
}

OpenResult SerialLink::Open(const ChosenPort& port) {
    Close();
    chosen_ = port;
    return OpenNode(chosen_.Node());
}

OpenResult SerialLink::SelectAndOpen(int n) {
    return Open(ChosenPort(ComPortName(n), ComPortDevicePath(n), n));
}

OpenResult SerialLink::OpenDevice(const QString& devicePath, const QString& name) {
    return Open(ChosenPort(name, devicePath));
}

OpenResult SerialLink::OpenNode(const QString& node) {
    adapterNotice_.clear();
    const QString& name = chosen_.Name();
    const QString& path = chosen_.GivenPath();
    // A COM number with nothing behind it.
    if (path.isEmpty())
        return {OpenFailure::Missing, QSerialPort::DeviceNotFoundError,
                name + QStringLiteral(" does not exist.")};
    if (node.isEmpty())
        return DescribeOpenFailure(QSerialPort::DeviceNotFoundError, name, path);
    port_.setPortName(node);
    if (!port_.open(QIODevice::ReadWrite))
        return DescribeOpenFailure(port_.error(), name, path);
    chosen_.LineUp();
    const int fd = static_cast<int>(port_.handle());
    // Every reply of the protocol is waited for: an adapter must not sit on it.
    lowLatency_.Request(fd, node);
    adapterNotice_ = AdapterLatencyNotice(name, AdapterLatencyTimerMs(node));
    // A built-in UART's FIFO must not sit on a short reply either.
    if (const QString fifo = receiveTrigger_.Lower(node, name); !fifo.isEmpty())
        adapterNotice_ = fifo;
    // USB serial drivers may send the adapter a control request on every change of the tty's
    // settings, which would cost more than the wake-ups it saves: those ports wake per byte.
    if (!UsesUsbSerialDriver(node))
        wakeUp_.Attach(fd);
    else
        wakeUp_.Detach();
    return {};
}

void SerialLink::Close() {
    if (port_.isOpen()) {
        // The port goes back to the settings it had, for whoever opens it next.
        const int fd = static_cast<int>(port_.handle());
        wakeUp_.Detach();
        lowLatency_.Restore(fd);
        receiveTrigger_.Restore();
        port_.close();
    }
}

OpenResult SerialLink::Reopen() {
    // The old handle leads to a line that is gone for good, even when the device node is back.
    Close();
    // The device, not its COM number or its old node: while an adapter is out, the ports after it
    // move up one number, and another adapter may get its node.
    const QString node = chosen_.FindNow();
    if (node.isEmpty())
        return {OpenFailure::Missing, QSerialPort::DeviceNotFoundError,
                QStringLiteral("The device found on %1 is not there any more: it was unplugged, or another "
                               "device now has its name. Plug it back in, or search again.")
                    .arg(chosen_.Name())};
    chosen_.MoveTo(node);
    return OpenNode(node);
}

bool SerialLink::IsOpen() const {
    return port_.isOpen();
}

bool SerialLink::IsUsable() const {
    return port_.isOpen() && !chosen_.LineLost();
}

void SerialLink::OnPortError(QSerialPort::SerialPortError error) {
    // The line went away (unplugged adapter, simulator gone): the port still says it is open and
    // writes still "succeed", so remember it and fail every later read.
    if ((error == QSerialPort::ReadError || error == QSerialPort::ResourceError) && port_.isOpen() &&
        !chosen_.LineLost()) {
        chosen_.LineWentAway();
        emit LineWentAway();
    }
}

bool SerialLink::FlushInput() {
    if (!IsUsable())
        return false;
    ReceivedText = port_.readAll();
    // Bytes that reached the driver but not our buffer yet go too.
    port_.clear(QSerialPort::Input);
    return true;
}

bool SerialLink::SendByte(std::uint8_t byte) {
    return SendBytes(QByteArray(1, static_cast<char>(byte)));
}

bool SerialLink::SendBytes(const QByteArray& bytes) {
    if (!IsUsable())
        return false;
    // Straight into the driver: QSerialPort's own write path watches the port for room while its
    // buffer holds anything, which costs the event loop two extra wake-ups for every write. Bytes
    // it still holds go first, so only an empty buffer is passed by.
    std::size_t taken = 0;
    if (port_.bytesToWrite() == 0) {
        const DriverWrite written = WriteToDriver(static_cast<int>(port_.handle()), bytes.constData(),
                                                  static_cast<std::size_t>(bytes.size()));
        if (written.lineGone) {
            chosen_.LineWentAway();
            return false;
        }
        taken = written.taken;
    }
    if (taken == static_cast<std::size_t>(bytes.size()))
        return true;
    // The driver had no room for the rest: QSerialPort keeps it and hands it over as room comes,
    // while the event loop runs.
    const QByteArray rest = bytes.mid(static_cast<qsizetype>(taken));
    // No flush: it would only meet the full driver, which QSerialPort reports as a resource error.
    return port_.write(rest) == rest.size();
}

ByteRead SerialLink::ReadByte() {
    if (!IsUsable())
        return {ByteRead::Failed};
    char c = 0;
    if (port_.read(&c, 1) != 1) {
        ReceivedText.clear();
        return {ByteRead::Nothing};
    }
    ReceivedText = QByteArray(1, c);
    return {ByteRead::Byte, static_cast<std::uint8_t>(c)};
}

void SerialLink::TakeArrivedBytes() {
    if (!IsUsable())
        return;
    // A zero wait reads whatever is there, even a single byte; finding nothing is no error of the
    // port.
    wakeUp_.WakeAt(1);
    port_.waitForReadyRead(0);
    if (port_.error() == QSerialPort::TimeoutError)
        port_.clearError();
}

qint64 SerialLink::BufferedCount() const {
    return IsUsable() ? port_.bytesAvailable() : -1;
}

bool SerialLink::WaitForInput(int count, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    // Always one pass of the event loop, even when the bytes are already there.
    QCoreApplication::processEvents();
    while (true) {
        const qint64 buffered = IsUsable() ? port_.bytesAvailable() : -1;
        if (buffered < 0 || buffered >= count || deadline.hasExpired()) {
            replyDeadline_.stop();
            if (buffered < 0) {
                chosen_.MarkOutOfStep();
                return false;
            }
            if (buffered < count) {
                // A short reply stayed in the driver: the port never woke for less than all of it.
                TakeArrivedBytes();
                if (!IsUsable() || port_.bytesAvailable() < count)
                    chosen_.MarkOutOfStep();
            }
            return IsUsable();
        }
        wakeUp_.WakeAt(static_cast<int>(count - buffered));
        // The deadline's timer ends the sleep when nothing else does; its firing is the event. It
        // is set again when it is not running (it may have fired a little early) or runs past
        // this deadline (a wait inside a window event shares it with the wait around it).
        const qint64 remainingMs = std::max<qint64>(deadline.remainingTime(), 0);
        if (!replyDeadline_.isActive() || replyDeadline_.remainingTime() > remainingMs)
            replyDeadline_.start(static_cast<int>(remainingMs));
        // Sleep in the event loop until something happens: bytes arrive (the port reads them in),
        // the port fails, a window event comes, or the deadline passes. Nothing has to end the
        // sleep by posting to the loop, which would cost a wake-up of its own.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (IsUsable() && port_.bytesAvailable() > buffered)
            ++dataWakeUps_;
    }
}

void SerialLink::SetMonitorTimer(bool on) {
    if (on)
        Timer2.start();
    else
        Timer2.stop();
}

OpenResult DescribeOpenFailure(QSerialPort::SerialPortError error, const QString& comName,
                               const QString& devicePath) {
    const QString port = comName == devicePath
                             ? devicePath
                             : comName + QStringLiteral(" (") + devicePath + QStringLiteral(")");
    switch (error) {
    case QSerialPort::PermissionError:
        // Both "held by another program" and "not allowed" come back as this error; only the
        // second one fails a plain access check.
        if (::access(devicePath.toLocal8Bit().constData(), R_OK | W_OK) != 0 && errno == EACCES) {
            const QString group = OwningGroup(devicePath);
            QString text = QStringLiteral("No permission to open ") + port + QStringLiteral(".");
            if (!group.isEmpty())
                text += QStringLiteral(" The device belongs to the group '%1': add your user to it "
                                       "(sudo adduser $USER %1), then log out and in again.")
                            .arg(group);
            return {OpenFailure::NoPermission, QSerialPort::PermissionError, text};
        }
        return {OpenFailure::AlreadyOpen, PortAlreadyOpen,
                port + QStringLiteral(" is already in use by another program.")};
    case QSerialPort::DeviceNotFoundError:
        return {OpenFailure::Missing, error, port + QStringLiteral(" does not exist.")};
    default:
        return {OpenFailure::Other, error, QStringLiteral("Cannot open ") + port + QStringLiteral(".")};
    }
}

} // namespace rq70
