#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <memory>

// A terminal of a given width for a program's standard output: the program writes to the slave
// side of a pseudo-terminal (so it sees a terminal and can ask its width), the test reads every
// byte it wrote, unaltered, from the master side while its event loop runs.
class PseudoTerminal {
public:
    PseudoTerminal(int columns, int rows);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool IsOpen() const { return slave_ >= 0; }
    // Makes `process`'s standard output this terminal; call before starting it.
    void Attach(QProcess& process) const;
    // Everything written so far.
    QByteArray Output();

    // The rows of `output` as the terminal shows them one after the other: split at line feeds,
    // without the carriage returns and the codes that move the cursor, clear a row or colour
    // text.
    static QStringList Rows(const QByteArray& output);
    // Only the rows a live screen drew in place (each after a carriage return and a row clear),
    // likewise without those codes.
    static QStringList DrawnRows(const QByteArray& output);
    // The control sequences and characters in `output` other than those a live screen draws with
    // (carriage return, line feed, cursor up, clear row, bold green, bold red, colour off), as
    // "ESC ]", "BEL", ...; none for a screen that nothing it shows can steer.
    static QStringList ForeignControls(const QByteArray& output);

private:
    void Read();

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QByteArray output_;
};
