#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class QEventLoop;
struct pg_conn;

namespace rq70 {

// What one statement came back with. `rows` hold the values as text (a null value is a null
// QString).
struct PgResult {
    bool ok = false;
    // The server's or the library's reason, on one line, without the password (none is ever
    // given on a command line; the library names none in its messages).
    QString error;
    // The SQLSTATE of a refusal by the server ("42501"), empty when the connection failed.
    QString sqlState;
    // The connection is gone (or never came): the statement may not have reached the server.
    bool connectionLost = false;
    QList<QStringList> rows;
};

// One connection to the line's database, opened and used without blocking the thread's event
// loop for longer than the deadline given: every wait is a local event loop woken by the
// connection's socket or by its deadline, so a server that stopped answering costs at most that.
// A value is always a bound parameter: a null QByteArray is SQL NULL. Not thread-safe; it belongs
// to the thread that made it.
class PgConnection {
public:
    PgConnection();
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects with a libpq connection string (or "service=NAME"). "" on success, else why not.
    QString Open(const QString& conninfo, int timeoutMs);
    bool IsOpen() const;
    void Close();

    // Without parameters `sql` may hold several statements; with them, one.
    PgResult Exec(const QByteArray& sql, const QList<QByteArray>& parameters, int timeoutMs);
    // The role the connection logged in as, for messages.
    QString User() const;
    // Cuts the wait in progress short (from a slot of the same thread, run by that wait's loop):
    // the connect or statement then fails as unanswered.
    void Interrupt();

private:
    struct Deleter {
        void operator()(pg_conn* connection) const;
    };
    // Waits until the socket is readable (or writable); false when the deadline came first.
    bool WaitForSocket(bool forWriting, int timeoutMs);
    PgResult Failed(bool connectionLost);
    std::unique_ptr<pg_conn, Deleter> connection_;
    QEventLoop* waiting_ = nullptr;
};

// The library's text for a connection string without its password, and without anything that
// could hold one: for messages about which database is meant.
QString ConninfoForDisplay(const QString& conninfo);

// "" when the connection string may be used as it is; otherwise why not: it cannot be read, or
// it holds a password (which would then stand in the process list, shell histories and unit
// files), with where the password belongs instead.
QString ConninfoProblem(const QString& conninfo);

} // namespace rq70
