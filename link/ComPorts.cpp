#include "link/ComPorts.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
#include <tuple>
#include <vector>

namespace rq70 {

namespace {

constexpr const char* PortDirVariable = "RQ70_PORT_DIR";

// Sort key that keeps the classic on-board ports first and numbers in numeric order (ttyS2 before
// ttyS10).
struct PortOrder {
    int family;
    QString stem;
    int number;
    QString name;
};

PortOrder OrderOf(const QString& name) {
    static const QRegularExpression trailingNumber(QStringLiteral("^(.*?)(\\d+)$"));
    const QRegularExpressionMatch match = trailingNumber.match(name);
    const QString stem = match.hasMatch() ? match.captured(1) : name;
    const int number = match.hasMatch() ? match.captured(2).toInt() : -1;
    int family = 3;
    if (stem == QLatin1String("ttyS"))
        family = 0;
    else if (stem == QLatin1String("ttyUSB"))
        family = 1;
    else if (stem == QLatin1String("ttyACM"))
        family = 2;
    return {family, stem, number, name};
}

QStringList SystemPortPaths() {
    std::vector<PortOrder> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.push_back(OrderOf(info.portName()));
    std::sort(ports.begin(), ports.end(), [](const PortOrder& a, const PortOrder& b) {
        return std::tie(a.family, a.stem, a.number, a.name) < std::tie(b.family, b.stem, b.number, b.name);
    });
    QStringList paths;
    for (const PortOrder& port : ports)
        paths << QStringLiteral("/dev/") + port.name;
    return paths;
}

} // namespace

QString ComPortName(int n) {
    return QStringLiteral("COM") + QString::number(n);
}

namespace {

QString PortDirEntry(int n) {
    return QDir(qEnvironmentVariable(PortDirVariable)).filePath(ComPortName(n));
}

// The device path behind COMn in a system list taken once.
QString DevicePathIn(const QStringList& systemPaths, int n) {
    if (n < 1)
        return {};
    if (qEnvironmentVariableIsSet(PortDirVariable)) {
        const QString entry = PortDirEntry(n);
        // A link whose target is gone (a simulator that stopped) is no port.
        return QFileInfo::exists(entry) ? entry : QString();
    }
    return n <= systemPaths.size() ? systemPaths.at(n - 1) : QString();
}

QStringList SystemPortPathsIfUsed() {
    return qEnvironmentVariableIsSet(PortDirVariable) ? QStringList() : SystemPortPaths();
}

} // namespace

QString ComPortDevicePath(int n) {
    return n < 1 ? QString() : DevicePathIn(SystemPortPathsIfUsed(), n);
}

QString ComPortEntry(int n) {
    if (n >= 1 && qEnvironmentVariableIsSet(PortDirVariable))
        return PortDirEntry(n);
    return ComPortDevicePath(n);
}

QList<ChosenPort> ListComPorts(int first, int last) {
    const QStringList systemPaths = SystemPortPathsIfUsed();
    QList<ChosenPort> ports;
    for (int n = first; n <= last; ++n) {
        const QString path = DevicePathIn(systemPaths, n);
        if (!path.isEmpty())
            ports << ChosenPort(ComPortName(n), path, n);
    }
    return ports;
}

int ComPortExists(int n) {
    return ComPortDevicePath(n).isEmpty() ? 0 : 1;
}

int PortNumberOf(const QString& text) {
    static const QRegularExpression portName(QStringLiteral("^\\s*COM(\\d{1,5})\\s*$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = portName.match(text);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

ChosenPort ResolvePortArgument(const QString& given) {
    if (const int n = PortNumberOf(given))
        return ChosenPort(ComPortName(n), ComPortDevicePath(n), n);
    const QString path = given.trimmed();
    return ChosenPort(path, path);
}

PortFacts DescribePort(const QString& devicePath) {
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        return {};
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (QFileInfo(info.systemLocation()).canonicalFilePath() != device)
            continue;
        PortFacts facts{info.manufacturer(), info.description(), info.serialNumber(), {}};
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            facts.usbId = QStringLiteral("%1:%2")
                              .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                              .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        return facts;
    }
    return {};
}

} // namespace rq70
