#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A PostgreSQL cluster of its own for a test or a bench: made by initdb in a temporary folder,
// reachable only through a Unix socket in that folder (no TCP port), every client trusted as role
// postgres. The server is a child of this process and ends with it, also when it is killed. When
// the process runs as root, the cluster's programs run as the system user postgres (the server
// refuses root), the folders belonging to it; otherwise they run as the caller.
//
// Every wait here runs a local event loop, so whatever else the caller has running (stations,
// simulators) goes on meanwhile.
class PgCluster {
public:
    PgCluster();
    // Stops the server (immediate) if it runs, and removes the folders.
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // initdb, the server's settings, and the database rq70. "" or what went wrong, with the
    // programs' output.
    QString Init();
    // Starts the server and waits until it accepts connections. "" or what went wrong.
    QString Start();
    // Fast: clients are disconnected and the server shuts down cleanly. Immediate: the server
    // and its backends quit at once, as after a crash, and the next start recovers from the WAL.
    QString Stop(bool immediate = false);
    bool IsRunning() const;

    // A libpq conninfo for `database` as `role`: "host=<socket folder> port=<p> dbname=... user=...".
    QString Conninfo(const QString& database = QStringLiteral("rq70"),
                     const QString& role = QStringLiteral("postgres")) const;
    // Runs `sql` through psql (no psqlrc, unaligned, tuples only, stopping at the first error) as
    // role postgres on `database`. "" or the error; `output` gets what psql printed, a row a line
    // with its columns separated by '|'.
    QString Psql(const QString& sql, const QString& database = QStringLiteral("postgres"),
                 QString* output = nullptr);

    // The folder with the server's programs (initdb, postgres, psql), "" if none was found.
    QString BinDir() const { return binDir_; }
    // The server's last lines on stderr, for a report when something failed.
    QStringList ServerLog() const { return serverLog_; }

private:
    struct ToolResult {
        QString error;
        QByteArray output;
    };
    // Runs one of the cluster's programs to its end, as the server's user when `asServerUser`.
    ToolResult RunTool(const QString& program, const QStringList& arguments, bool asServerUser,
                       const QByteArray& input = {}, int timeoutMs = 120000);
    void PrepareChild(QProcess& process, bool asServerUser) const;
    void TakeServerOutput();

    QString binDir_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString dataDir_;
    QString socketDir_;
    int port_ = 5432;
    bool initialised_ = false;
    // Root: the user and group the programs run as; -1 when they run as the caller.
    int serverUid_ = -1;
    int serverGid_ = -1;
    std::unique_ptr<QProcess> server_;
    bool ready_ = false;
    QByteArray pendingLog_;
    QStringList serverLog_;
};
