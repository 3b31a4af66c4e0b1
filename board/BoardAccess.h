#pragma once

#include <QByteArray>
#include <QString>

class QHostAddress;
class QHttpServerRequest;

namespace rq70::board {

// Who may see the board. Served on a loopback address it needs no login, but answers only to a
// host name of this computer: a web page elsewhere whose own name is made to lead to 127.0.0.1
// must not read it. Served on any other address, a request must show the token: in an
// "Authorization: Bearer" header, or in the cookie that opening the board once with ?token= sets.
class BoardAccess {
public:
    // An empty token: the loopback board, without login.
    explicit BoardAccess(const QByteArray& token = {});

    bool NeedsToken() const { return !token_.isEmpty(); }
    // The request may see the board: its host name, and its token where one is needed.
    bool Admits(const QHttpServerRequest& request) const;
    // The token as the page's address gave it, compared in constant time as every other.
    bool IsToken(const QByteArray& given) const;
    // The Set-Cookie value that logs a browser in.
    QByteArray LoginCookie() const;
    // A browser's WebSocket names the page it comes from (Origin): it must be the board's own,
    // by the name the browser used (Host, or X-Forwarded-Host from a reverse proxy).
    static bool FromOwnPage(const QHttpServerRequest& request);

    static constexpr const char* CookieName = "rq70_board";

private:
    bool HostIsOwn(const QHttpServerRequest& request) const;

    QByteArray token_;
    QByteArray tokenDigest_;
};

// Where --http says to serve the board: "PORT", "ADDR:PORT" or "[IPv6]:PORT", ADDR an address or
// "localhost", 127.0.0.1 when left out; PORT 0 for any free port. Returns "" and sets `address`
// and `port`, or what is wrong with `text`.
QString ParseBoardAddress(const QString& text, QHostAddress& address, quint16& port);

// The token in `path`: its first line, trimmed. Returns "" and sets `token`, or why the file
// cannot give one.
QString ReadTokenFile(const QString& path, QByteArray& token);

} // namespace rq70::board
