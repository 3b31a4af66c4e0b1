#pragma once

#include "link/ChosenPort.h"
#include "link/LowLatency.h"
#include "link/ReceiveTrigger.h"
#include "link/ReplyWakeUp.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <cstdint>

namespace rq70 {

// The failure of opening a port: its kind, its number and the description shown to the technician.
// A port another program holds carries the serial service's classic "already open" number.
inline constexpr int PortAlreadyOpen = 8005;

enum class OpenFailure { None, AlreadyOpen, NoPermission, Missing, Other };

struct OpenResult {
    OpenFailure failure = OpenFailure::None;
    int number = 0;
    QString description;
    bool ok() const { return failure == OpenFailure::None; }
};

// What one read of a single byte gave: the byte, nothing within reach, or a port that failed.
struct ByteRead {
    enum Kind { Byte, Nothing, Failed } kind = Nothing;
    std::uint8_t value = 0;

    bool Is(std::uint8_t expected) const { return kind == Byte && value == expected; }
};

// The updater's one serial port: fixed line settings, byte-by-byte traffic, and the waits of the
// stop-and-wait protocol. It knows no command bytes; the protocol lives with its callers.
class SerialLink : public QObject {
    Q_OBJECT

public:
    // The program always waits this long for a reply; tests may pass a shorter wait.
    static constexpr int ReplyTimeoutMs = 500;
    static constexpr int MonitorIntervalMs = 200;

    explicit SerialLink(QObject* parent = nullptr);
    // Gives an open port its old settings back. A program that is killed cannot; the next one to
    // open the port does, from the note the settings left (see SettingNote.h).
    ~SerialLink() override;

    // "4800,n,8,1", raw 8 bits, no flow control; applied while the port is closed and kept for
    // every later open.
    void ApplyLineSettings();

    // Closes the current port and opens the device `port` names, which from then on is the link's
    // port: its device node, so that every path to one device meets one lock (another program
    // holding it by another path makes the open fail as "already in use").
    OpenResult Open(const ChosenPort& port);
    // Closes the current port, selects COMn as it is now and opens it.
    OpenResult SelectAndOpen(int n);
    // Closes the current port and opens the serial device at `devicePath` (a tty, or a link to one
    // such as /dev/serial/by-id/...), which messages call `name`; "" is a port that does not exist.
    // Selects no COM number.
    OpenResult OpenDevice(const QString& devicePath, const QString& name);
    // The port last chosen: the device, and the state of its line.
    const ChosenPort& Port() const { return chosen_; }
    // The path to the device of the port last chosen (see ChosenPort::PathNow), or "".
    QString DevicePath() const { return chosen_.PathNow(); }
    // Set when the port that opened still holds every reply for a while: a USB adapter with a long
    // latency timer, or a built-in UART whose receive trigger the updater may not lower. What it
    // costs and how to cure it for good; the faces tell the user once.
    QString AdapterNotice() const { return adapterNotice_; }
    void Close();
    // Opens the chosen device again, as a technician plugs a pulled adapter back in: wherever it
    // is now (a USB adapter may come back as another ttyUSB), never another device that took its
    // name or COM number meanwhile. What the open gave: a device still missing (or only other
    // devices under its names) is OpenFailure::Missing, and the port stays closed.
    OpenResult Reopen();
    // See ChosenPort::LineLost: only such a port is opened again by Reopen's callers.
    bool LineLost() const { return chosen_.LineLost(); }
    bool IsOpen() const;
    // Open, and the line has not gone away under it.
    bool IsUsable() const;
    // Set on every open, and whenever a reply that was waited for did not come in full: the device
    // behind the line may be inside a command that an earlier run left unfinished, or whose
    // parameters a broken contact swallowed (see DeviceResync.h). While it is set, no command
    // byte may go out before the resync's fill bytes. Cleared by MarkInSync() once the device has
    // answered a probe after them.
    bool NeedsResync() const { return chosen_.NeedsResync(); }
    void MarkInSync() { chosen_.MarkInSync(); }
    void MarkOutOfStep() { chosen_.MarkOutOfStep(); }
    // The number of the selected port (0 before any selection, or for a port chosen by its path).
    int CommPort() const { return chosen_.ComNumber(); }

    // Takes everything buffered into ReceivedText and throws it away. False when the port failed.
    bool FlushInput();
    bool SendByte(std::uint8_t byte);
    // The bytes in this order, exactly as SendByte one after another would send them, handed to
    // the driver in one go: a command's parameters cost one system call, not ten.
    bool SendBytes(const QByteArray& bytes);
    // One byte out of the receive buffer, never waiting. A byte read is also left in ReceivedText.
    ByteRead ReadByte();
    // Moves what the driver has received into the receive buffer without running the event loop,
    // for callers that pause the thread instead of waiting in the loop.
    void TakeArrivedBytes();
    // Bytes waiting in the receive buffer, or -1 when the port failed.
    qint64 BufferedCount() const;

    // Waits until `count` bytes are buffered or `timeoutMs` has passed, processing window events
    // meanwhile and at least once, even when the bytes are already there. The process wakes once
    // the whole reply is in, not for every byte of it; at the deadline whatever came is buffered.
    // False when the port failed (it then returns at once). A wait that ends with fewer bytes
    // than `count` puts the line out of step (see NeedsResync).
    bool WaitForInput(int count, int timeoutMs = ReplyTimeoutMs);

    // How often waits have woken for arriving bytes since the link was made: about one per reply.
    qint64 DataWakeUps() const { return dataWakeUps_; }

    // Switches the connection monitor's timer (Timer2) on or off.
    void SetMonitorTimer(bool on);
    bool MonitorTimerEnabled() const { return Timer2.isActive(); }
    QTimer Timer2;

signals:
    // The line went away under the open port (see ChosenPort::LineWentAway).
    void LineWentAway();

public:
    // The latest single-byte read, and the discard target of FlushInput.
    QByteArray ReceivedText;
    // The port number that the search counts through and the update takes from the port list.
    int CurrentPort = 0;

private:
    // Opens the chosen port's device at `node`.
    OpenResult OpenNode(const QString& node);
    void OnPortError(QSerialPort::SerialPortError error);

    QSerialPort port_;
    ChosenPort chosen_;
    QString adapterNotice_;
    qint64 dataWakeUps_ = 0;
    // Ends a reply wait's sleep in the event loop at its deadline.
    QTimer replyDeadline_;
    LowLatencyMode lowLatency_;
    ReceiveTrigger receiveTrigger_;
    ReplyWakeUp wakeUp_;
};

// Sorts a failed open into "held by another program" and "no permission" (both come back as a
// permission error) and the rest, with a description that tells the technician what to do.
OpenResult DescribeOpenFailure(QSerialPort::SerialPortError error, const QString& comName,
                               const QString& devicePath);

} // namespace rq70
