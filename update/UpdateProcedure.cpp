#include "update/UpdateProcedure.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceQuery.h"
#include "link/DeviceResync.h"

#include <QCoreApplication>

namespace rq70 {

namespace {

// One run of the boot-loader protocol over the images. Every reply is awaited with WaitForInput;
// a reply that cannot be read because the port failed counts as missing, so a run that loses its
// port never ends as a success.
class UpdateRun {
public:
    UpdateRun(UpdaterModul& state, UpdateView& view, int replyTimeoutMs)
        : state_(state), link_(state.link), images_(state.images), view_(view), timeout_(replyTimeoutMs) {}

    // Why the run stopped; filled by the phase that failed.
    UpdateResult failure;

    bool Erase() {
        phase_ = UpdatePhase::Erase;
        view_.EnterPhase(phase_);
        view_.SetProgressLabel2(QString::fromLatin1(EraseCaption));
        view_.SetProgressBarColor(EraseBarColor);
        for (int row = FirstUpdatedWord; row <= images_.HighestProgramWord; row += EraseRowWords) {
            view_.SetProgressValue(row);
            // A row the device does not acknowledge is passed over without a word.
            if (Command(EraseRowCommand)) {
                link_.SendBytes(WordAddress(row));
                ReadReply();
            }
            if (YieldAndCheckAbort())
                return false;
        }
        return true;
    }

    bool WriteProgram() {
        phase_ = UpdatePhase::Program;
        view_.EnterPhase(phase_);
        view_.SetProgressLabel2(QString::fromLatin1(ProgramCaption));
        view_.SetProgressBarColor(WriteBarColor);
        for (int block = FirstUpdatedWord; block <= images_.HighestProgramWord; block += WriteBlockWords) {
            view_.SetProgressValue(block);
            if (!Command(WriteProgramCommand))
                return Fail(block,
                            QStringLiteral("the write command for word %1 was not acknowledged").arg(block));
            QByteArray parameters = WordAddress(block);
            for (int word = block; word < block + WriteBlockWords; ++word) {
                parameters += static_cast<char>(images_.LowByte(word));
                parameters += static_cast<char>(images_.HighByte(word));
            }
            link_.SendBytes(parameters);
            link_.WaitForInput(2 * WriteBlockWords, timeout_);
            // The device echoes what it received; the first word whose echo differs (or is
            // missing) is reported.
            for (int word = block; word < block + WriteBlockWords; ++word) {
                const bool lowMatches = link_.ReadByte().Is(images_.LowByte(word));
                const bool highMatches = link_.ReadByte().Is(images_.HighByte(word));
                if (!lowMatches || !highMatches) {
                    view_.ShowVerifyError(QStringLiteral("Error on Verify at Adress ") +
                                          QString::number(word));
                    return Fail(word, QStringLiteral("the echo of word %1 did not match").arg(word));
                }
            }
            if (YieldAndCheckAbort())
                return false;
        }
        return true;
    }

    bool WriteEeprom() {
        phase_ = UpdatePhase::Eeprom;
        view_.EnterPhase(phase_);
        view_.SetProgressMax(EepromByteCount - 1);
        view_.SetProgressLabel2(QString::fromLatin1(EepromCaption));
        view_.SetProgressBarColor(WriteBarColor);
        for (int address = 0; address < EepromByteCount; ++address) {
            view_.SetProgressValue(address);
            if (!Command(WriteEepromCommand))
                return Fail(
                    -1, QStringLiteral("the EEPROM write for address %1 was not acknowledged").arg(address));
            link_.SendBytes(TwoBytes(address, images_.EepromByte(address)));
            // Its value means nothing, but a port that failed before it came ends the run: the
            // byte may never have reached the device.
            if (!ReadReply())
                return Fail(-1, QStringLiteral("the EEPROM write for address %1 got no reply").arg(address));
            if (YieldAndCheckAbort())
                return false;
        }
        return true;
    }

private:
    // Notes why the run stops here. A port that failed outright explains it better than the
    // missing reply it caused.
    bool Fail(int word, const QString& reason) {
        failure.failedPhase = phase_;
        failure.failedWord = word;
        failure.reason = link_.IsUsable() ? reason : QStringLiteral("the port failed");
        return false;
    }

    // Sends a command byte and reads its acknowledge.
    bool Command(std::uint8_t command) {
        link_.SendByte(command);
        link_.WaitForInput(1, timeout_);
        return link_.ReadByte().Is(AckByte);
    }

    // Waits for and consumes the reply that ends an erase or EEPROM write; its value means
    // nothing. False only when the port failed.
    bool ReadReply() {
        link_.WaitForInput(1, timeout_);
        return link_.ReadByte().kind != ByteRead::Failed;
    }

    // A program word address as the boot loader takes it: low byte, then high byte.
    static QByteArray WordAddress(int address) { return TwoBytes(address % 256, address / 256); }

    static QByteArray TwoBytes(int first, int second) {
        QByteArray bytes;
        bytes += static_cast<char>(first);
        bytes += static_cast<char>(second);
        return bytes;
    }

    bool YieldAndCheckAbort() {
        QCoreApplication::processEvents();
        if (state_.AbortRequested) {
            failure.aborted = true;
            failure.failedPhase = phase_;
            failure.reason = QStringLiteral("aborted");
        }
        return state_.AbortRequested;
    }

    UpdaterModul& state_;
    SerialLink& link_;
    const FirmwareImages& images_;
    UpdateView& view_;
    const int timeout_;
    UpdatePhase phase_ = UpdatePhase::None;
};

UpdateResult NotStarted(UpdateResult::Outcome outcome, const OpenResult& open = {}) {
    UpdateResult result;
    result.outcome = outcome;
    result.open = open;
    return result;
}

// Makes the link's port the one to update. COMn picked in the port list is opened by its name,
// unless it is the device the link already holds (the one the search found): that device is
// followed wherever it is now, and never swapped for another that took its name meanwhile.
OpenResult OpenPortToUpdate(SerialLink& link, int portNumber) {
    if (portNumber <= 0 || (link.IsUsable() && link.CommPort() == portNumber))
        return {};
    if (link.CommPort() != portNumber || !link.LineLost())
        return link.SelectAndOpen(portNumber);
    // Back, but held by another program or not permitted: the open says so itself.
    return link.Reopen();
}

} // namespace

QString PhaseName(UpdatePhase phase) {
    switch (phase) {
    case UpdatePhase::Erase:
        return QStringLiteral("erase");
    case UpdatePhase::Program:
        return QStringLiteral("program");
    case UpdatePhase::Eeprom:
        return QStringLiteral("eeprom");
    case UpdatePhase::None:
        break;
    }
    return {};
}

UpdateResult RunUpdate(UpdaterModul& state, UpdateView& view, int portNumber, int replyTimeoutMs) {
    const LongOperationGuard guard(state.running, LongOperation::Update);
    if (!guard.Acquired())
        return NotStarted(UpdateResult::Busy);
    SerialLink& link = state.link;
    // The port picked in the list is the one to update, even when the search left another open.
    if (const OpenResult opened = OpenPortToUpdate(link, portNumber); !opened.ok())
        return NotStarted(UpdateResult::PortNotOpened, opened);

    link.SetMonitorTimer(false);
    view.ShowProgressWindow();
    state.AbortRequested = false;
    view.SetProgressLabel1(QStringLiteral("RQ-70"));
    view.SetProgressLabel2(QString());
    view.SetProgressValue(0);
    if (portNumber > 0)
        link.CurrentPort = portNumber;
    // A port opened just now may lead to a device that an interrupted run left inside a command.
    // Its answer changes nothing: a device that does not answer meets the run as before.
    if (link.NeedsResync())
        ResynchroniseDevice(link, replyTimeoutMs);
    // Whatever the device or the line left in the buffer must not pass for a reply.
    link.FlushInput();
    view.SetProgressMax(state.images.HighestProgramWord);

    UpdateRun run(state, view, replyTimeoutMs);
    const bool succeeded = run.Erase() && run.WriteProgram() && run.WriteEeprom();

    view.UnloadProgressWindow();
    view.ShowResultWindow();
    if (!succeeded) {
        // However it failed, the device may be inside a command: whatever probes it next
        // resynchronises first.
        link.MarkOutOfStep();
        view.SetResultLabel1(QStringLiteral("The update was not successful."));
        link.SetMonitorTimer(true);
        run.failure.outcome = UpdateResult::Failed;
        return run.failure;
    }
    view.SetResultLabel1(QStringLiteral("The update was successful."));
    QCoreApplication::processEvents();
    UpdateResult result;
    result.outcome = UpdateResult::Succeeded;
    if (const std::optional<QString> info = QueryDeviceInfo(link, DeviceInfoAddress, replyTimeoutMs)) {
        view.SetResultLabel2(*info);
        result.identification = *info;
    }
    link.SendByte(FinishCommand);
    return result;
}

} // namespace rq70
