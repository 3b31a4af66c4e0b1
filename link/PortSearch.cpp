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

bool FindBootLoader(SerialLink& link, int replyTimeoutMs, const std::function<bool()>& afterMiss) {
    link.FlushInput();
    for (int ping = 0; ping < PingsPerPort; ++ping) {
        if (PingDevice(link, replyTimeoutMs))
            return true;
        if (afterMiss && afterMiss())
            return false;
    }
    return false;
}

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

    // One look at the list: asking it again while a port is held could find that port gone and
    // every later number moved (see ListComPorts).
    const QList<ChosenPort> listed = ListComPorts(FirstSearchedPort, LastSearchedPort);
    qsizetype next = 0;
    for (int port = FirstSearchedPort; port <= LastSearchedPort; ++port) {
        link.CurrentPort = port;
        // Numbers without a port leave the last port that opened as it is: a search that finds
        // nothing ends with that port open.
        if (next == listed.size() || listed[next].ComNumber() != port)
            continue;
        // Closes the port before, then opens this one. A port that does not open is still worked
        // through: its pings fail at once and count as unanswered, so the abort flag is looked at
        // as for any other port.
        const OpenResult opened = link.Open(listed[next++]);
        result.outcome = SearchResult::NothingAnswered;
        view.SetLines(QStringLiteral("Trying COM%1.").arg(port),
                      QStringLiteral("Searching for Karvo device."));
        QCoreApplication::processEvents();

        const bool found = FindBootLoader(link, replyTimeoutMs, [&] {
            line1 = QStringLiteral("not connected.");
            line2 = QStringLiteral("Unable to find a Karvo device.");
            QCoreApplication::processEvents();
            return abortRequested;
        });
        if (found) {
            line1 = QStringLiteral("Successfully connected to COM%1").arg(port);
            // A port that fails during the query leaves the line as it was.
            const std::optional<QString> info = QueryDeviceInfo(link, DeviceInfoAddress, replyTimeoutMs);
            if (info)
                line2 = QStringLiteral("Detected ") + *info;
            view.SetMainOKEnabled(true);
            link.SetMonitorTimer(true);
            view.SelectPortEntry(ComPortName(port));
            result = {SearchResult::Found, port, info};
            return end();
        }
        if (abortRequested) {
            result = {SearchResult::Aborted, port, {}};
            return end();
        }
        if (WorthAWarning(opened))
            view.ShowPortWarning(opened.description);
    }
    return end();
}

} // namespace rq70
