#include "PgCluster.h"

#include <QCollator>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTimer>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

namespace {

constexpr int ServerStartTimeoutMs = 60000;
constexpr int ServerStopTimeoutMs = 60000;
constexpr int ServerLogLinesKept = 60;
// The line the server logs once it takes connections (its messages are in English: lc_messages C).
constexpr char ReadyLine[] = "database system is ready to accept connections";
// A Unix socket's path (the folder plus "/.s.PGSQL.<port>") must fit in sun_path's 108 bytes.
constexpr int LongestSocketFolder = 90;

// The newest server installed side by side (/usr/lib/postgresql/<version>/bin), or the one on
// the PATH.
QString FindBinDir() {
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator numeric;
    numeric.setNumericMode(true);
    std::sort(names.begin(), names.end(),
              [&numeric](const QString& a, const QString& b) { return numeric.compare(a, b) > 0; });
    for (const QString& name : names) {
        const QString bin = versions.filePath(name + QStringLiteral("/bin"));
        if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable() &&
            QFileInfo(bin + QStringLiteral("/postgres")).isExecutable())
            return bin;
    }
    const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}

// A value in a conninfo or in postgresql.conf: single-quoted, with its quotes and backslashes
// escaped.
QString Quoted(QString value) {
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

QString ConninfoValue(const QString& value) {
    const bool plain = !value.isEmpty() && !value.contains(QLatin1Char(' ')) &&
                       !value.contains(QLatin1Char('\'')) && !value.contains(QLatin1Char('\\'));
    return plain ? value : Quoted(value);
}

QString Tail(const QByteArray& output) {
    return QString::fromLocal8Bit(output).trimmed();
}

bool ChangeOwner(const QString& path, int uid, int gid) {
    return uid < 0 || ::chown(QFile::encodeName(path).constData(), uid_t(uid), gid_t(gid)) == 0;
}

} // namespace

PgCluster::PgCluster() : binDir_(FindBinDir()) {}

PgCluster::~PgCluster() {
    if (server_ && server_->state() != QProcess::NotRunning)
        Stop(true);
    // The folders go with dir_; root removes the server user's files as well.
}

QString PgCluster::Init() {
    if (initialised_)
        return QStringLiteral("the cluster is initialised already");
    if (binDir_.isEmpty())
        return QStringLiteral("no PostgreSQL server installed (no initdb in /usr/lib/postgresql/*/bin "
                              "nor on the PATH)");
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("postgres");
        if (!user)
            return QStringLiteral("running as root, and there is no user postgres to run the server as");
        serverUid_ = int(user->pw_uid);
        serverGid_ = int(user->pw_gid);
    }
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/rq70-pg-XXXXXX"));
    if (!dir_->isValid())
        return QStringLiteral("cannot make a temporary folder: %1").arg(dir_->errorString());
    dataDir_ = dir_->filePath(QStringLiteral("data"));
    socketDir_ = dir_->filePath(QStringLiteral("socket"));
    if (socketDir_.toLocal8Bit().size() > LongestSocketFolder)
        return QStringLiteral("the socket folder's path is too long for a Unix socket: %1").arg(socketDir_);
    // The server's user owns both folders; anyone may reach the socket.
    if (!QDir().mkdir(socketDir_) || !ChangeOwner(dir_->path(), serverUid_, serverGid_) ||
        !ChangeOwner(socketDir_, serverUid_, serverGid_))
        return QStringLiteral("cannot prepare the folders in %1").arg(dir_->path());
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QFile::setPermissions(dir_->path(), open);
    QFile::setPermissions(socketDir_, open);

    const ToolResult initdb = RunTool(binDir_ + QStringLiteral("/initdb"),
                                      {QStringLiteral("-D"), dataDir_, QStringLiteral("-U"),
                                       QStringLiteral("postgres"), QStringLiteral("--auth=trust"),
                                       QStringLiteral("--encoding=UTF8"), QStringLiteral("--locale=C"),
                                       // Nothing of a throwaway cluster needs to survive a power cut.
                                       QStringLiteral("--no-sync")},
                                      true);
    if (!initdb.error.isEmpty())
        return QStringLiteral("initdb failed: %1").arg(initdb.error);

    // No TCP at all: clients come through the socket in the cluster's own folder.
    QFile conf(dataDir_ + QStringLiteral("/postgresql.conf"));
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("cannot add the settings to %1: %2").arg(conf.fileName(), conf.errorString());
    const QString settings = QStringLiteral("\n# A throwaway cluster of a test.\n"
                                            "listen_addresses = ''\n"
                                            "unix_socket_directories = %1\n"
                                            "port = %2\n"
                                            "lc_messages = 'C'\n"
                                            "logging_collector = off\n")
                                 .arg(Quoted(socketDir_))
                                 .arg(port_);
    if (conf.write(settings.toUtf8()) < 0)
        return QStringLiteral("cannot add the settings to %1: %2").arg(conf.fileName(), conf.errorString());
    conf.close();

    // The database the programs use, made without a server: a single-user backend reads the
    // statement on its input; exit_on_error makes a failed statement its exit status.
    const ToolResult create =
        RunTool(binDir_ + QStringLiteral("/postgres"),
                {QStringLiteral("--single"), QStringLiteral("-D"), dataDir_, QStringLiteral("-c"),
                 QStringLiteral("exit_on_error=on"), QStringLiteral("postgres")},
                true, QByteArrayLiteral("CREATE DATABASE rq70\n"));
    if (!create.error.isEmpty())
        return QStringLiteral("cannot create the database rq70: %1").arg(create.error);
    initialised_ = true;
    return {};
}

QString PgCluster::Start() {
    if (!initialised_)
        return QStringLiteral("the cluster is not initialised");
    if (server_ && server_->state() != QProcess::NotRunning)
        return ready_ ? QString() : QStringLiteral("the server is starting or stopping already");
    server_ = std::make_unique<QProcess>();
    server_->setProcessChannelMode(QProcess::MergedChannels);
    PrepareChild(*server_, true);
    ready_ = false;
    pendingLog_.clear();
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Output keeps being read while the server runs, so that its log never fills the pipe.
    QObject::connect(server_.get(), &QProcess::readyReadStandardOutput, server_.get(),
                     [this] { TakeServerOutput(); });
    QObject::connect(server_.get(), &QProcess::readyReadStandardOutput, &loop, [this, &loop] {
        if (ready_)
            loop.quit();
    });
    QObject::connect(server_.get(), &QProcess::finished, server_.get(), [this] {
        TakeServerOutput();
        ready_ = false;
    });
    QObject::connect(server_.get(), &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(server_.get(), &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    server_->start(binDir_ + QStringLiteral("/postgres"), {QStringLiteral("-D"), dataDir_});
    limit.start(ServerStartTimeoutMs);
    loop.exec();
    if (ready_)
        return {};
    if (server_->state() != QProcess::NotRunning) {
        server_->kill();
        server_->waitForFinished();
        return QStringLiteral("the server did not take connections within %1 s: %2")
            .arg(ServerStartTimeoutMs / 1000)
            .arg(serverLog_.join(QLatin1Char('\n')));
    }
    if (server_->error() == QProcess::FailedToStart)
        return QStringLiteral("cannot start %1: %2").arg(server_->program(), server_->errorString());
    return QStringLiteral("the server ended while starting (exit status %1): %2")
        .arg(server_->exitCode())
        .arg(serverLog_.join(QLatin1Char('\n')));
}

QString PgCluster::Stop(bool immediate) {
    if (!server_ || server_->state() == QProcess::NotRunning)
        return {};
    // SIGINT is the server's fast shutdown, SIGQUIT its immediate one.
    ::kill(pid_t(server_->processId()), immediate ? SIGQUIT : SIGINT);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(server_.get(), &QProcess::finished, &loop, &QEventLoop::quit);
    limit.start(ServerStopTimeoutMs);
    if (server_->state() != QProcess::NotRunning)
        loop.exec();
    ready_ = false;
    if (server_->state() != QProcess::NotRunning) {
        server_->kill();
        server_->waitForFinished();
        return QStringLiteral("the server did not stop within %1 s of its %2 shutdown; killed")
            .arg(ServerStopTimeoutMs / 1000)
            .arg(immediate ? QStringLiteral("immediate") : QStringLiteral("fast"));
    }
    if (!immediate && (server_->exitStatus() != QProcess::NormalExit || server_->exitCode() != 0))
        return QStringLiteral("the server's fast shutdown ended with exit status %1: %2")
            .arg(server_->exitCode())
            .arg(serverLog_.join(QLatin1Char('\n')));
    return {};
}

bool PgCluster::IsRunning() const {
    return server_ && server_->state() == QProcess::Running && ready_;
}

QString PgCluster::Conninfo(const QString& database, const QString& role) const {
    return QStringLiteral("host=%1 port=%2 dbname=%3 user=%4")
        .arg(ConninfoValue(socketDir_))
        .arg(port_)
        .arg(ConninfoValue(database), ConninfoValue(role));
}

QString PgCluster::Psql(const QString& sql, const QString& database, QString* output) {
    const ToolResult result =
        RunTool(binDir_ + QStringLiteral("/psql"),
                {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
                 QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-d"),
                 Conninfo(database, QStringLiteral("postgres"))},
                false, sql.toUtf8());
    if (output) {
        *output = QString::fromUtf8(result.output);
        if (output->endsWith(QLatin1Char('\n')))
            output->chop(1);
    }
    return result.error;
}

PgCluster::ToolResult PgCluster::RunTool(const QString& program, const QStringList& arguments,
                                         bool asServerUser, const QByteArray& input, int timeoutMs) {
    QProcess process;
    PrepareChild(process, asServerUser);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    if (!process.waitForStarted())
        return {QStringLiteral("cannot start %1: %2").arg(program, process.errorString()), {}};
    process.write(input);
    process.closeWriteChannel();
    limit.start(timeoutMs);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return {QStringLiteral("%1 did not end within %2 s")
                    .arg(QFileInfo(program).fileName())
                    .arg(timeoutMs / 1000),
                process.readAllStandardOutput()};
    }
    const QByteArray output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QByteArray errors = process.readAllStandardError();
        return {QStringLiteral("%1 ended with exit status %2: %3")
                    .arg(QFileInfo(program).fileName())
                    .arg(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1)
                    .arg(Tail(errors.isEmpty() ? output : errors + '\n' + output)),
                output};
    }
    return {{}, output};
}

void PgCluster::PrepareChild(QProcess& process, bool asServerUser) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Only what is given here decides where a program connects and how it talks.
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QLatin1String("PG")))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("PGCLIENTENCODING"), QStringLiteral("UTF8"));
    process.setProcessEnvironment(environment);
    if (dir_)
        process.setWorkingDirectory(dir_->path());
    const int uid = asServerUser ? serverUid_ : -1;
    const int gid = asServerUser ? serverGid_ : -1;
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([uid, gid, parent] {
        // Its own session: a Ctrl-C meant for the caller reaches the server only through the
        // caller's end.
        ::setsid();
        if (uid >= 0) {
            const gid_t group = gid_t(gid);
            if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(uid_t(uid)) != 0)
                ::_exit(126);
        }
        // After the change of user, which clears it: the server quits at once (immediate
        // shutdown) when its caller ends, however it ends.
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (::getppid() != parent)
            ::_exit(126);
    });
}

void PgCluster::TakeServerOutput() {
    if (!server_)
        return;
    pendingLog_ += server_->readAllStandardOutput();
    qsizetype end;
    while ((end = pendingLog_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pendingLog_.left(end));
        pendingLog_.remove(0, end + 1);
        if (line.contains(QLatin1String(ReadyLine)))
            ready_ = true;
        serverLog_ << line;
        if (serverLog_.size() > ServerLogLinesKept)
            serverLog_.removeFirst();
    }
}
