#include "flash/StationScreen.h"

#include "common/InterruptSignal.h"
#include "flash/OutcomeText.h"
#include "flash/UpdateEvents.h"
#include "update/TerminalText.h"

#include <QJsonArray>

namespace rq70::flash {

namespace {

constexpr int RedrawIntervalMs = 100;

const char* const Green = "\x1b[1;32m";
const char* const Red = "\x1b[1;31m";
const char* const Plain = "\x1b[0m";

// A port's column on the live screen: long /dev/serial/by-id/ names keep their start and end.
constexpr int PortColumn = 24;

QString ShortPort(const QString& port) {
    if (port.size() <= PortColumn)
        return port;
    const int head = 8;
    return port.left(head) + QStringLiteral("...") + port.right(PortColumn - head - 3);
}

// The first `width` characters that the terminal shows of `row`; colour codes take no room, and a
// row cut inside a colour ends it.
QString FitToWidth(const QString& row, int width) {
    QString fitted;
    int shown = 0;
    bool cut = false;
    for (qsizetype i = 0; i < row.size(); ++i) {
        if (row[i] == QLatin1Char('\x1b')) {
            const qsizetype end = row.indexOf(QLatin1Char('m'), i);
            if (end > i) {
                fitted += row.mid(i, end - i + 1);
                i = end;
                continue;
            }
        }
        if (shown == width) {
            cut = true;
            continue;
        }
        fitted += row[i];
        ++shown;
    }
    return cut && fitted.contains(QLatin1Char('\x1b')) ? fitted + QString::fromLatin1(Plain) : fitted;
}

} // namespace

StationScreen::StationScreen(Style style, bool colour, const QString& shift, const QStringList& ports,
                             std::FILE* out)
    : style_(style), colour_(colour && style == Style::Terminal), shift_(shift), output_(out) {
    for (const QString& port : ports)
        lines_.append(Line{port, State::NoPort, UpdatePhase::None, 0, -1, {}, 0, {}, false, 0, 0});
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
    output_.PrintJson(object);
}

void StationScreen::Note(const QString& text) {
    NoteOnStderr(text);
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
        output_.Print(QStringLiteral("shift %1 from %2 on %3 slot(s)%4")
                          .arg(shift_, updateFile)
                          .arg(lines_.size())
                          .arg(note.isEmpty() ? QString() : QStringLiteral(", note: ") + TerminalSafe(note)));
        break;
    case Style::Terminal:
        output_.Print(QStringLiteral("Shift %1 from %2%3 - Ctrl-C ends it after the updates under way")
                          .arg(shift_, updateFile,
                               note.isEmpty() ? QString() : QStringLiteral(" (") + TerminalSafe(note) + ')'));
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
            output_.Print(Label(slot) + QStringLiteral(": no port"));
        break;
    case SlotEvent::PortBack:
        if (style_ == Style::Json)
            PrintJson({{"event", "port_back"}, {"device_path", event.text}}, slot);
        else if (style_ == Style::Plain)
            output_.Print(Label(slot) + QStringLiteral(": port open (%1)").arg(event.text));
        break;
    case SlotEvent::OpenFailed:
        line.state = State::CannotOpen;
        line.detail = event.text;
        if (style_ == Style::Json)
            PrintJson({{"event", "open_failed"}, {"reason", event.text}}, slot);
        else if (style_ == Style::Plain)
            output_.Print(Label(slot) + QStringLiteral(": cannot open: ") + event.text);
        break;
    case SlotEvent::Waiting:
        line.state = State::Waiting;
        if (style_ == Style::Json)
            PrintJson({{"event", "waiting"}}, slot);
        else if (style_ == Style::Plain)
            output_.Print(Label(slot) + QStringLiteral(": waiting for a unit"));
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
            output_.Print(Label(slot) +
                          QStringLiteral(": unit %1 updating (%2)").arg(event.unit).arg(event.text));
        }
        break;
    case SlotEvent::AdapterNotice:
        if (style_ == Style::Json)
            PrintJson({{"event", "adapter_notice"}, {"text", event.text}}, slot);
        Note(QStringLiteral("warning: %1: %2").arg(Label(slot), event.text));
        break;
    case SlotEvent::UnitLeft:
        if (style_ == Style::Json)
            PrintJson({{"event", "unit_left"}, {"how", event.portGone ? "port_gone" : "no_answer"}}, slot);
        else if (style_ == Style::Plain)
            output_.Print(Label(slot) + QStringLiteral(": unit %1 left").arg(line.unit));
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
            output_.Print(Label(event.device) + QStringLiteral(": ") + event.text);
        else if (newPhase)
            output_.Print(Label(event.device) + QStringLiteral(": %1").arg(PhaseName(event.phase)));
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
    line.lastSucceeded = outcome.Succeeded();
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
        output_.Print(Label(outcome.device) +
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

void StationScreen::Interrupted(int stage, int signalNumber) {
    if (style_ == Style::Json)
        PrintJson({{"event", "interrupted"}, {"stage", stage}, {"signal", SignalName(signalNumber)}});
    if (IsHangUp(signalNumber))
        Note(QStringLiteral("hang-up: no new units; the updates under way finish (Ctrl-C stops them)"));
    else
        Note(stage == 1 ? QStringLiteral("interrupted: no new units; the updates under way finish (Ctrl-C "
                                         "again stops them)")
                        : QStringLiteral("interrupted again: every update stops after the unit under way"));
}

QString StationScreen::StateText(const Line& line) const {
    const auto verdict = [this](const char* colour, const QString& word) {
        return colour_ ? QString::fromLatin1(colour) + word + QString::fromLatin1(Plain) : word;
    };
    // The cradle's last verdict stays in sight until the next unit starts, also when the unit
    // left at once (a device that starts its program after the update stops answering).
    const QString last =
        line.unit == 0 ? QString()
        : line.lastSucceeded
            ? QStringLiteral("  (last: unit %1 ").arg(line.unit) + verdict(Green, "SUCCEEDED") + ')'
            : QStringLiteral("  (last: unit %1 ").arg(line.unit) + verdict(Red, "FAILED") + ')';
    switch (line.state) {
    case State::NoPort:
        return QStringLiteral("no port") + last;
    case State::CannotOpen:
        return QStringLiteral("cannot open: ") + line.detail;
    case State::Waiting:
        return QStringLiteral("waiting for a unit") + last;
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
    const int width = std::max(output_.Width() - 1, 20);
    // After the terminal changed its width the rows drawn before may have wrapped: the new ones
    // start below them instead of moving up by a count that no longer holds.
    if (width != drawnWidth_)
        drawnRows_ = 0;
    drawnWidth_ = width;
    QStringList rows{FitToWidth(QStringLiteral("%1 elapsed  %2 unit(s)  %3 succeeded  %4 failed")
                                    .arg(Clock(shiftClock_.elapsed()))
                                    .arg(units_)
                                    .arg(succeeded_)
                                    .arg(failed_),
                                width)};
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        rows << FitToWidth(QStringLiteral("%1 %2 %3 ok %4 failed  ")
                                   .arg(i + 1, 2)
                                   .arg(ShortPort(line.port), -PortColumn)
                                   .arg(line.succeeded, 4)
                                   .arg(line.failed, 3) +
                               StateText(line),
                           width);
    }
    QString text;
    if (drawnRows_ > 0)
        text += QStringLiteral("\x1b[%1A").arg(drawnRows_);
    for (const QString& row : rows)
        text += QStringLiteral("\r\x1b[2K") + row + QLatin1Char('\n');
    drawnRows_ = int(rows.size());
    output_.Write(text.toUtf8());
}

void StationScreen::End(const ShiftTally& tally) {
    ticker_.stop();
    if (style_ == Style::Json) {
        PrintJson(SummaryEvent(shift_, tally, shiftClock_.elapsed()));
        return;
    }
    Redraw(true);
    output_.Write(SummaryText(shift_, tally, shiftClock_.elapsed()).toUtf8());
}

} // namespace rq70::flash
