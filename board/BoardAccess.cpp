// Who may see the board: the loopback board's host names, the token of any other, and the
// cookie that carries it for a browser.

#include "board/BoardAccess.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QUrl>

namespace rq70::board {

namespace {

// The value after "Bearer " in the Authorization header, the board's cookie otherwise.
QByteArray ShownToken(const QHttpServerRequest& request) {
    const QByteArray authorization = request.value("Authorization").trimmed();
    if (authorization.size() > 7 && authorization.left(7).compare("Bearer ", Qt::CaseInsensitive) == 0)
        return authorization.mid(7).trimmed();
    for (const QByteArray& cookie : request.value("Cookie").split(';')) {
        const qsizetype equals = cookie.indexOf('=');
        if (equals > 0 && cookie.left(equals).trimmed() == BoardAccess::CookieName)
            return QByteArray::fromPercentEncoding(cookie.mid(equals + 1).trimmed());
    }
    return {};
}

// The host of a Host header or of an origin's authority: "127.0.0.1", "::1", "localhost".
QString HostOf(const QByteArray& hostAndPort) {
    const QString text = QString::fromLatin1(hostAndPort.trimmed()).toLower();
    if (text.startsWith(u'[')) {
        const qsizetype end = text.indexOf(u']');
        return end < 0 ? QString() : text.mid(1, end - 1);
    }
    const qsizetype colon = text.lastIndexOf(u':');
    return colon < 0 ? text : text.left(colon);
}

QByteArray Digest(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace

BoardAccess::BoardAccess(const QByteArray& token) : token_(token), tokenDigest_(Digest(token)) {}

bool BoardAccess::IsToken(const QByteArray& given) const {
    // Digests of equal length, every byte looked at: the time taken tells nothing of the token.
    const QByteArray digest = Digest(given);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < digest.size(); ++i)
        difference |= static_cast<unsigned char>(digest[i] ^ tokenDigest_[i]);
    return NeedsToken() && difference == 0;
}

bool BoardAccess::HostIsOwn(const QHttpServerRequest& request) const {
    // Whatever name leads a browser to a board with a token, the token decides.
    if (NeedsToken())
        return true;
    const QByteArray host = request.value("Host");
    // Browsers always send one; a program that sends none is on this computer anyway.
    if (host.trimmed().isEmpty())
        return true;
    const QString name = HostOf(host);
    if (name == QLatin1String("localhost"))
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

bool BoardAccess::Admits(const QHttpServerRequest& request) const {
    return HostIsOwn(request) && (!NeedsToken() || IsToken(ShownToken(request)));
}

QByteArray BoardAccess::LoginCookie() const {
    return QByteArray(CookieName) + '=' + token_.toPercentEncoding() + "; HttpOnly; SameSite=Strict; Path=/";
}

bool BoardAccess::FromOwnPage(const QHttpServerRequest& request) {
    const QByteArray origin = request.value("Origin").trimmed();
    // Programs other than browsers send none.
    if (origin.isEmpty())
        return true;
    const QUrl url(QString::fromLatin1(origin));
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return false;
    // Behind a reverse proxy the page's own name comes as X-Forwarded-Host: a page's script cannot
    // set that header on a WebSocket, so it names the page as truly as Host does.
    for (const char* header : {"Host", "X-Forwarded-Host"}) {
        const QString host = QString::fromLatin1(request.value(header).trimmed());
        if (!host.isEmpty() && url.authority().compare(host, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString ParseBoardAddress(const QString& text, QHostAddress& address, quint16& port) {
    const QString wrong =
        QStringLiteral("'%1' is no place to serve the board: give PORT, ADDRESS:PORT or [IPv6]:PORT")
            .arg(text);
    QString host;
    QString number = text;
    if (text.startsWith(u'[')) {
        const qsizetype end = text.indexOf(QLatin1String("]:"));
        if (end < 0)
            return wrong;
        host = text.mid(1, end - 1);
        number = text.mid(end + 2);
    } else if (const qsizetype colon = text.lastIndexOf(u':'); colon >= 0) {
        host = text.left(colon);
        number = text.mid(colon + 1);
        // An IPv6 address goes in brackets, or its last group would pass for the port.
        if (host.contains(u':'))
            return wrong;
    }
    bool ok = false;
    const uint value = number.toUInt(&ok);
    if (!ok || value > 65535)
        return wrong;
    port = quint16(value);
    if (host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(host))
        return QStringLiteral("'%1' is not an IP address (of host names only localhost is taken)").arg(host);
    return {};
}

QString ReadTokenFile(const QString& path, QByteArray& token) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the token file %1: %2").arg(path, file.errorString());
    token = file.readLine(4096).trimmed();
    if (token.isEmpty())
        return QStringLiteral("the token file %1 holds no token on its first line").arg(path);
    return {};
}

} // namespace rq70::board
