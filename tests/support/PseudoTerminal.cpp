#include "PseudoTerminal.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What a live screen draws with: CSI n A, CSI 2 K, CSI 1;32 m, CSI 1;31 m, CSI 0 m.
const QRegularExpression& ScreenCodes() {
    static const QRegularExpression codes(QStringLiteral("\\x1b\\[(\\d+A|2K|1;3[12]m|0m)"));
    return codes;
}

} // namespace

PseudoTerminal::PseudoTerminal(int columns, int rows) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return;
    slavePath_ = QString::fromLocal8Bit(::ptsname(master_));
    const int slave = ::open(slavePath_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return;
    // Bytes as the program wrote them: no line feed turned into CR LF.
    termios mode{};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ::ioctl(master_, TIOCSWINSZ, &size);
    // Held open for the test's whole life, so the terminal keeps its settings between programs.
    slave_ = slave;
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Read(); });
}

PseudoTerminal::~PseudoTerminal() {
    notifier_.reset();
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
}

void PseudoTerminal::Attach(QProcess& process) const {
    process.setStandardOutputFile(slavePath_, QIODevice::Append);
}

QByteArray PseudoTerminal::Output() {
    Read();
    return output_;
}

void PseudoTerminal::Read() {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(master_, buffer, sizeof buffer)) > 0)
        output_.append(buffer, got);
}

QStringList PseudoTerminal::Rows(const QByteArray& output) {
    QString text = QString::fromUtf8(output);
    text.remove(ScreenCodes());
    text.remove(QLatin1Char('\r'));
    return text.split(QLatin1Char('\n'));
}

QStringList PseudoTerminal::DrawnRows(const QByteArray& output) {
    static const QRegularExpression drawn(QStringLiteral("\\r\\x1b\\[2K([^\\n]*)\\n"));
    QStringList rows;
    for (const QRegularExpressionMatch& match : drawn.globalMatch(QString::fromUtf8(output)))
        rows << match.captured(1).remove(ScreenCodes());
    return rows;
}

QStringList PseudoTerminal::ForeignControls(const QByteArray& output) {
    QString text = QString::fromUtf8(output);
    text.remove(ScreenCodes());
    QStringList found;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\r' || c == u'\n')
            continue;
        if (c == 0x1b)
            found << QStringLiteral("ESC ") + text.mid(i + 1, 1);
        else if (text[i].category() == QChar::Other_Control)
            found << (c == 0x07 ? QStringLiteral("BEL")
                                : QStringLiteral("U+%1").arg(int(c), 4, 16, QChar(u'0')));
    }
    return found;
}
