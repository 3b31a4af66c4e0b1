#include "flash/StationScreen.h"

#include "flash/ProgressReport.h"
#include "flash/UpdateEvents.h"
#include "update/TerminalText.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <sys/ioctl.h>

namespace rq70::flash {

namespace {

constexpr int RedrawIntervalMs = 100;

int TerminalWidth(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

const char* const Green = "\x1b[1;32m";
const char* const Red = "\x1b[1;31m";
const char* const Plain = "\x1b[0m";

} // namespace

StationScreen::StationScreen(Style style, bool colour, const QString& shift, const QStringList& ports,
                             std::FILE* out)
    : style_(style), colour_(colour && style == Style::Terminal), shift_(shift), out_(out) {
    for (const QString& port : ports)
        lines_.append(Line{port, State::NoPort, UpdatePhase::None, 0, -1, {}, 0, {}, 0, 0});
    shiftClock_.start();
    if (style_ == Style::Terminal) {
        // The elapsed times and the time left move on while nothing else happens.
        ticker_.setInterval(1000);
        QObject::connect(&ticker_, &QTimer::timeout, [this] { Redraw(true); });
    }
}

QString StationScreen::Label(int slot) const {
    return QStringLiteral("slot %1 (%2)").arg(slot + 1).arg(lines_.value(slot).port);
}

void StationScreen::PrintJson(QJsonObject object, int slot) {
    if (slot >= 0) {
        object.insert("slot", slot + 1);
        object.insert("port", lines_.value(slot).port);
    }
    Print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void StationScreen::Print(const QString& text) {
    Write(text.toUtf8() + '\n');
}

void StationScreen::Write(const QByteArray& bytes) {
    // A reader that went away ends the screen, not the shift.
    if (outputGone_)
        return;
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out_);
    if (std::fflush(out_) != 0 || std::ferror(out_))
        outputGone_ = true;
}

void StationScreen::Note(const QString& text) {
    std::fprintf(stderr, "rq70-flash: %s\n", qPrintable(text));
    drawnRows_ = 0;
}

void StationScreen::Begin(const QString& note, const QString& updateFile) {
    QStringList ports;
    for (const Line& line : lines_)
        ports << line.port;
    switch (style_) {
    case Style::Json:
        PrintJson({{"event", "shift"},
                   {"shift", shift_},
                   {"note", OrNull(note)},
                   {"ports", QJsonArray::fromStringList(ports)},
                   {"update_file", updateFile},
                   {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}});
        break;
    case Style::Plain:
        Print(QStringLiteral("shift %1 from %2 on %3 slot(s)%4")
                  .arg(shift_, updateFile)
                  .arg(lines_.size())
                  .arg(note.isEmpty() ? QString() : QStringLiteral(", note: ") + note));
        break;
    case Style::Terminal:
        Print(QStringLiteral("Shift %1 from %2%3 - Ctrl-C ends it after the updates under way")
                  .arg(shift_, updateFile, note.isEmpty() ? QString() : QStringLiteral(" (") + note + ')'));
        sinceRedraw_.start();
        ticker_.start();
        Redraw(true);
        break;
    }
}

void StationScreen::OnSlot(const SlotEvent& event) {
    if (event.slot < 0 || event.slot >= lines_.size())
        return;
    Line& line = lines_[event.slot];
    const int slot = event.slot;
    switch (event.kind) {
    case SlotEvent::PortGone:
        line.state = State::NoPort;
        if (style_ == Style::Json)
            PrintJson({{"event", "port_gone"}}, slot);
        else if (style_ == Style::Plain)
            Print(Label(slot) + QStringLiteral(": no port"));
        break;
    case SlotEvent::PortBack:
        if (style_ == Style::Json)
            PrintJson({{"event", "port_back"}, {"device_path", event.text}}, slot);
        else if (style_ == Style::Plain)
            Print(Label(slot) + QStringLiteral(": port open (%1)").arg(event.text));
        break;
    case SlotEvent::OpenFailed:
        line.state = State::CannotOpen;
        line.detail = event.text;
        if (style_ == Style::Json)
            PrintJson({{"event", "open_failed"}, {"reason", event.text}}, slot);
        else if (style_ == Style::Plain)
            Print(Label(slot) + QStringLiteral(": cannot open: ") + event.text);
        break;
    case SlotEvent::Waiting:
        line.state = State::Waiting;
        if (style_ == Style::Json)
            PrintJson({{"event", "waiting"}}, slot);
        else if (style_ == Style::Plain)
            Print(Label(slot) + QStringLiteral(": waiting for a unit"));
        break;
    case SlotEvent::UnitStarted:
        line.state = State::Updating;
        line.phase = UpdatePhase::None;
        line.percent = 0;
        line.printedPercent = -1;
        line.unit = event.unit;
        line.clock.start();
        if (style_ == Style::Json) {
            QJsonObject start = StartEvent(line.port, event.text);
            start.insert("unit", event.unit);
            PrintJson(start, slot);
        } else if (style_ == Style::Plain) {
            Print(Label(slot) + QStringLiteral(": unit %1 updating (%2)").arg(event.unit).arg(event.text));
        }
        break;
    case SlotEvent::UnitLeft:
        if (style_ == Style::Json)
            PrintJson({{"event", "unit_left"}, {"how", event.portGone ? "port_gone" : "no_answer"}}, slot);
        else if (style_ == Style::Plain)
            Print(Label(slot) + QStringLiteral(": unit %1 left").arg(line.unit));
        break;
    }
    Redraw(true);
}

void StationScreen::OnEvent(const DeviceEvent& event) {
    if (event.device < 0 || event.device >= lines_.size())
        return;
    Line& line = lines_[event.device];
    const bool newPhase = event.kind == DeviceEvent::Phase;
    line.phase = event.phase;
    line.percent = event.percent;
    switch (style_) {
    case Style::Json:
        // As often as `update` tells them.
        if (event.kind == DeviceEvent::VerifyFailed) {
            PrintJson(VerifyFailedEvent(line.port, event), event.device);
        } else if (newPhase || event.percent >= line.printedPercent + JsonProgressStep) {
            line.printedPercent = event.percent;
            PrintJson(ProgressEvent(line.port, event, line.clock.elapsed()), event.device);
        }
        break;
    case Style::Plain:
        // A log of a long shift keeps the phases, not every percent.
        if (event.kind == DeviceEvent::VerifyFailed)
            Print(Label(event.device) + QStringLiteral(": ") + event.text);
        else if (newPhase)
            Print(Label(event.device) + QStringLiteral(": %1").arg(PhaseName(event.phase)));
        break;
    case Style::Terminal:
        Redraw(newPhase);
        break;
    }
}

void StationScreen::OnFinished(const DeviceOutcome& outcome, const ShiftTally& tally) {
    if (outcome.device < 0 || outcome.device >= lines_.size())
        return;
    Line& line = lines_[outcome.device];
    const ShiftTally::Slot& counts = tally.Slots().value(outcome.device);
    line.succeeded = counts.succeeded;
    line.failed = counts.failed;
    units_ = tally.Units();
    succeeded_ = tally.Succeeded();
    failed_ = tally.Failed();
    line.state = outcome.Succeeded() ? State::Succeeded : State::Failed;
    line.detail = outcome.Succeeded() ? TerminalSafe(outcome.result.identification) : FailureOf(outcome);
    if (!outcome.recordWarning.isEmpty())
        Note(QStringLiteral("warning: %1: the update record was not written: %2")
                 .arg(Label(outcome.device), outcome.recordWarning));
    switch (style_) {
    case Style::Json:
        if (!outcome.result.identification.isEmpty())
            PrintJson(IdentificationEvent(line.port, outcome.result.identification), outcome.device);
        PrintJson(VerdictEvent(line.port, outcome), outcome.device);
        break;
    case Style::Plain:
        Print(Label(outcome.device) +
              QStringLiteral(": unit %1 %2 after %3%4")
                  .arg(line.unit)
                  .arg(outcome.Succeeded() ? QStringLiteral("SUCCEEDED") : QStringLiteral("FAILED"),
                       Clock(outcome.durationMs),
                       line.detail.isEmpty() ? QString() : QStringLiteral(": ") + line.detail));
        break;
    case Style::Terminal:
        Redraw(true);
        break;
    }
}

void StationScreen::Interrupted(int stage) {
    if (style_ == Style::Json)
        PrintJson({{"event", "interrupted"}, {"stage", stage}});
    Note(stage == 1 ? QStringLiteral("interrupted: no new units; the updates under way finish (Ctrl-C "
                                     "again stops them)")
                    : QStringLiteral("interrupted again: every update stops after the unit under way"));
}

QString StationScreen::StateText(const Line& line) const {
    const auto verdict = [this](const char* colour, const QString& word) {
        return colour_ ? QString::fromLatin1(colour) + word + QString::fromLatin1(Plain) : word;
    };
    switch (line.state) {
    case State::NoPort:
        return QStringLiteral("no port");
    case State::CannotOpen:
        return QStringLiteral("cannot open: ") + line.detail;
    case State::Waiting:
        return QStringLiteral("waiting for a unit");
    case State::Updating: {
        const qint64 elapsed = line.clock.elapsed();
        QString text =
            QStringLiteral("unit %1 %2 %3%")
                .arg(line.unit)
                .arg(line.phase == UpdatePhase::None ? QStringLiteral("start") : PhaseName(line.phase), -7)
                .arg(line.percent, 3);
        if (line.percent > 0 && line.percent < 100)
            text += QStringLiteral("  %1 left").arg(Clock(elapsed * (100 - line.percent) / line.percent));
        return text;
    }
    case State::Succeeded:
        return QStringLiteral("unit %1 ").arg(line.unit) + verdict(Green, QStringLiteral("SUCCEEDED")) +
               QStringLiteral("  ") + line.detail + QStringLiteral(" - take it out");
    case State::Failed:
        return QStringLiteral("unit %1 ").arg(line.unit) + verdict(Red, QStringLiteral("FAILED")) +
               QStringLiteral("  ") + line.detail;
    }
    return {};
}

void StationScreen::Redraw(bool force) {
    if (style_ != Style::Terminal ||
        (!force && sinceRedraw_.isValid() && sinceRedraw_.elapsed() < RedrawIntervalMs))
        return;
    sinceRedraw_.restart();
    // A row wider than the terminal would wrap, and moving up by rows would then land wrong. The
    // colour codes take no room on the screen.
    const int width = std::max(TerminalWidth(out_) - 1, 20);
    const int codes = colour_ ? int(qstrlen(Green) + qstrlen(Plain)) : 0;
    QStringList rows{QStringLiteral("%1 elapsed  %2 unit(s)  %3 succeeded  %4 failed")
                         .arg(Clock(shiftClock_.elapsed()))
                         .arg(units_)
                         .arg(succeeded_)
                         .arg(failed_)};
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        const QString row = QStringLiteral("%1 %2 %3 ok %4 failed  ")
                                .arg(i + 1, 2)
                                .arg(line.port, -16)
                                .arg(line.succeeded, 4)
                                .arg(line.failed, 3) +
                            StateText(line);
        const bool coloured = colour_ && (line.state == State::Succeeded || line.state == State::Failed);
        rows << (coloured && row.size() - codes > width ? row.left(width + codes) + QString::fromLatin1(Plain)
                                                        : row.left(coloured ? width + codes : width));
    }
    QString text;
    if (drawnRows_ > 0)
        text += QStringLiteral("\x1b[%1A").arg(drawnRows_);
    for (const QString& row : rows)
        text += QStringLiteral("\r\x1b[2K") + row + QLatin1Char('\n');
    drawnRows_ = int(rows.size());
    Write(text.toUtf8());
}

void StationScreen::End(const ShiftTally& tally) {
    ticker_.stop();
    if (style_ == Style::Json) {
        PrintJson(SummaryEvent(shift_, tally, shiftClock_.elapsed()));
        return;
    }
    Redraw(true);
    Write(SummaryText(shift_, tally, shiftClock_.elapsed()).toUtf8());
}

} // namespace rq70::flash
