// rq70-flash ports, detect and info: what is on the serial ports, without updating anything.

#include "flash/Console.h"
#include "flash/DeviceSearch.h"
#include "flash/FlashCommands.h"
#include "flash/OutcomeText.h"
#include "link/DeviceQuery.h"

#include <QRegularExpression>

namespace rq70::flash {

int ListPorts(const FlashOptions& options) {
    int listed = 0;
    for (const ChosenPort& port : ListComPorts(FirstSearchedPort, LastSearchedPort)) {
        const int n = port.ComNumber();
        const QString path = port.GivenPath();
        ++listed;
        const PortFacts facts = DescribePort(path);
        if (options.json) {
            SayJson({{"port", ComPortName(n)},
                     {"device_path", path},
                     {"manufacturer", facts.manufacturer},
                     {"product", facts.product},
                     {"serial_number", facts.serialNumber},
                     {"usb_id", facts.usbId}});
            continue;
        }
        QString line = ComPortName(n).leftJustified(5) + QStringLiteral("  ") + path;
        const QStringList usb =
            QStringList{facts.manufacturer, facts.product,
                        facts.serialNumber.isEmpty() ? QString() : "serial " + facts.serialNumber,
                        facts.usbId}
                .filter(QRegularExpression(QStringLiteral(".")));
        if (!usb.isEmpty())
            line += QStringLiteral("  (") + usb.join(QStringLiteral(", ")) + QLatin1Char(')');
        Say(line);
    }
    if (listed == 0 && !options.json)
        Complain(QStringLiteral("no serial port found (COM1 to COM%1)").arg(LastSearchedPort));
    return ExitAllUpdated;
}

int Detect(const FlashOptions& options) {
    InterruptSignal interrupt;
    UpdaterModul state;
    const std::optional<SearchResult> found = Search(state, interrupt);
    if (!found)
        return NothingFoundStatus(state);
    // The device the search opened, not whatever the COM number leads to by now.
    const ChosenPort& port = state.link.Port();
    if (options.json)
        SayJson({{"port", port.Name()},
                 {"device_path", port.GivenPath()},
                 {"identification", *found->identification}});
    else
        Say(QStringLiteral("%1  %2  %3").arg(port.Name(), port.GivenPath(), *found->identification));
    return ExitAllUpdated;
}

int Info(const FlashOptions& options) {
    // Any signal ends the look between two whole commands; the link then closes the port and puts
    // its settings back.
    bool interrupted = false;
    InterruptSignal interrupt;
    QObject::connect(&interrupt, &InterruptSignal::Interrupted, [&interrupted] { interrupted = true; });
    const auto stopAsked = [&interrupted] { return interrupted; };
    const ChosenPort& port = options.ports.value(0);
    SerialLink link;
    link.ApplyLineSettings();
    const OpenResult open = link.Open(port);
    if (!open.ok()) {
        Complain(OpenFailureText(open));
        return ExitPortNotOpened;
    }
    const bool found = FindBootLoader(link, SerialLink::ReplyTimeoutMs, stopAsked);
    const std::optional<QString> identification =
        found ? QueryDeviceInfo(link, DeviceInfoAddress, SerialLink::ReplyTimeoutMs, stopAsked)
              : std::nullopt;
    if (interrupted) {
        Complain(QStringLiteral("interrupted"));
        return ExitUpdateFailed;
    }
    if (!found) {
        Complain(QStringLiteral("no boot loader answers on %1").arg(port.Name()));
        return ExitNoDevice;
    }
    if (!identification) {
        Complain(IdentificationLost(port.Name()));
        return ExitNoDevice;
    }
    if (options.json)
        SayJson(
            {{"port", port.Name()}, {"device_path", port.GivenPath()}, {"identification", *identification}});
    else
        Say(*identification);
    return ExitAllUpdated;
}

} // namespace rq70::flash
