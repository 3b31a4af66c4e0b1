#include "link/PortSearch.h"

#include "link/ComPorts.h"
#include "link/DeviceQuery.h"
#include "link/DeviceResync.h"

#include <QCoreApplication>

namespace rq70 {

namespace {

// A port the technician should hear about: another program holds it, or the user may not open it.
bool WorthAWarning(const OpenResult& failure) {
    return failure.failure == OpenFailure::AlreadyOpen || failure.failure == OpenFailure::NoPermission;
}

} // namespace

SearchResult SearchForDevice(SerialLink& link, bool& abortRequested, LongOperation& running,
                             DetectionView& view, int replyTimeoutMs) {
    const LongOperationGuard guard(running, LongOperation::Search);
    if (!guard.Acquired())
        return {SearchResult::Busy, 0, {}};

    link.SetMonitorTimer(false);
    view.ShowDetectionWindow();
    view.ShowAbortButton();
    view.SetMainOKEnabled(false);
    abortRequested = false;

    QString line1;
    QString line2;
    SearchResult result{SearchResult::NoPortExists, 0, {}};
    const auto end = [&] {
        view.SetLines(line1, line2);
        view.ShowOKButton();
        return result;
    };

    for (int port = FirstSearchedPort; port <= LastSearchedPort; ++port) {
        link.CurrentPort = port;
        // Numbers without a port leave the last port that opened as it is: a search that finds
        // nothing ends with that port open.
        if (!ComPortExists(port))
            continue;
        // Closes the port before, then opens this one. A port that does not open is still worked
        // through: its pings fail at once and count as unanswered, so the abort flag is looked at
        // as for any other port.
        const OpenResult opened = link.SelectAndOpen(port);
        result.outcome = SearchResult::NothingAnswered;
        view.SetLines(QStringLiteral("Trying COM%1.").arg(port),
                      QStringLiteral("Searching for Karvo device."));
        QCoreApplication::processEvents();
        link.FlushInput();

        for (int ping = 0; ping < PingsPerPort; ++ping) {
            // The first ping also brings a device back that an interrupted run left inside a
            // command.
            if (PingDevice(link, replyTimeoutMs)) {
                line1 = QStringLiteral("Successfully connected to COM%1").arg(port);
                // A port that fails during the query leaves the line as it was.
                const std::optional<QString> info = QueryDeviceInfo(link, DeviceInfoAddress, replyTimeoutMs);
                if (info)
                    line2 = QStringLiteral("Detected ") + *info;
                view.SetMainOKEnabled(true);
                link.SetMonitorTimer(true);
                view.SelectPortEntry(ComPortName(port));
                result = {SearchResult::Found, port, info.value_or(QString())};
                return end();
            }
            line1 = QStringLiteral("not connected.");
            line2 = QStringLiteral("Unable to find a Karvo device.");
            QCoreApplication::processEvents();
            if (abortRequested) {
                result = {SearchResult::Aborted, port, {}};
                return end();
            }
        }
        if (WorthAWarning(opened))
            view.ShowPortWarning(opened.description);
    }
    return end();
}

} // namespace rq70
