#include "flash/StationScreen.h"

#include "common/InterruptSignal.h"
#include "flash/Console.h"
#include "flash/LineShipping.h"
#include "flash/OutcomeText.h"
#include "flash/UpdateEvents.h"

#include <QJsonArray>

namespace rq70::flash {

namespace {

// A port's column on the live screen: long /dev/serial/by-id/ names keep their start and end.
constexpr int PortColumn = 24;

QString ShortPort(const QString& port) {
    if (port.size() <= PortColumn)
        return port;
    const int head = 8;
    return port.left(head) + QStringLiteral("...") + port.right(PortColumn - head - 3);
}

QString Number(qsizetype n, int width) {
    return QString::number(n).rightJustified(width);
}

} // namespace

StationScreen::StationScreen(Style style, bool colour, const QString& shift, const ShiftTally& tally,
                             std::FILE* out)
    : style_(style), shift_(shift), tally_(tally), output_(out) {
    for (const ShiftTally::Slot& slot : tally.Slots())
        lines_.append(Line{slot.port, State::NoPort, UpdatePhase::None, 0, -1, {}, 0, {}, false});
    shiftClock_.start();
    if (style_ == Style::Terminal)
        live_ = std::make_unique<LiveBlock>(output_, colour, [this] { return LiveLines(); });
}

QString StationScreen::Label(int slot) const {
    return QStringLiteral("slot %1 (%2)").arg(QString::number(slot + 1), lines_.value(slot).port);
}

void StationScreen::PrintJson(QJsonObject object, int slot) {
    if (slot >= 0) {
        object.insert("slot", slot + 1);
        object.insert("port", lines_.value(slot).port);
    }
    output_.PrintJson(object);
}

void StationScreen::Note(const QString& text) {
    Complain(text);
    if (live_)
        live_->Forget();
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
                          .arg(shift_, updateFile, QString::number(lines_.size()),
                               note.isEmpty() ? QString() : QStringLiteral(", note: ") + note));
        break;
    case Style::Terminal:
        // Cut like the lines below it: a header that wrapped would stand apart from them.
        live_->PrintAbove(
            {{QStringLiteral("Shift %1 from %2%3 - Ctrl-C ends it after the updates under way")
                  .arg(shift_, updateFile, note.isEmpty() ? QString() : QStringLiteral(" (") + note + ')')}});
        live_->Start();
        break;
    }
}

void StationScreen::BoardServed(const QString& url) {
    const QString text = QStringLiteral("board on ") + url;
    switch (style_) {
    case Style::Json:
        PrintJson({{"event", "board"}, {"url", url}});
        break;
    case Style::Plain:
        output_.Print(text);
        break;
    case Style::Terminal:
        live_->PrintAbove({{text}});
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
            output_.Print(
                Label(slot) +
                QStringLiteral(": unit %1 updating (%2)").arg(QString::number(event.unit), event.text));
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
        if (const QJsonObject told = EventToTell(line.port, event, line.clock.elapsed(), line.printedPercent);
            !told.isEmpty())
            PrintJson(told, event.device);
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

void StationScreen::OnFinished(const DeviceOutcome& outcome) {
    if (outcome.device < 0 || outcome.device >= lines_.size())
        return;
    Line& line = lines_[outcome.device];
    line.state = outcome.Succeeded() ? State::Succeeded : State::Failed;
    line.lastSucceeded = outcome.Succeeded();
    line.detail = outcome.Succeeded() ? outcome.result.identification : FailureOf(outcome);
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
                          .arg(QString::number(line.unit),
                               outcome.Succeeded() ? QStringLiteral("SUCCEEDED") : QStringLiteral("FAILED"),
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
                        : QStringLiteral("interrupted again: the updates under way stop after the row, block "
                                         "or EEPROM byte under way, and their units are recorded as aborted"));
}

ShownLine StationScreen::StateText(const Line& line) const {
    const QString unit = QStringLiteral("unit %1 ").arg(line.unit);
    // The cradle's last verdict stays in sight until the next unit starts, also when the unit
    // left at once (a device that starts its program after the update stops answering).
    const ShownLine last =
        line.unit == 0 ? ShownLine()
        : line.lastSucceeded
            ? ShownLine{{QStringLiteral("  (last: ") + unit}, {"SUCCEEDED", ShownText::Green}, {")"}}
            : ShownLine{{QStringLiteral("  (last: ") + unit}, {"FAILED", ShownText::Red}, {")"}};
    switch (line.state) {
    case State::NoPort:
        return ShownLine{{"no port"}} + last;
    case State::CannotOpen:
        return {{QStringLiteral("cannot open: ") + line.detail}};
    case State::Waiting:
        return ShownLine{{"waiting for a unit"}} + last;
    case State::Updating: {
        const QString phase =
            line.phase == UpdatePhase::None ? QStringLiteral("start") : PhaseName(line.phase);
        QString text = unit + phase.leftJustified(7) + QLatin1Char(' ') + Number(line.percent, 3) + u'%';
        if (const QString left = TimeLeft(line.clock.elapsed(), line.percent); !left.isEmpty())
            text += QStringLiteral("  %1 left").arg(left);
        return {{text}};
    }
    case State::Succeeded:
        return {
            {unit}, {"SUCCEEDED", ShownText::Green}, {QStringLiteral("  ") + line.detail + " - take it out"}};
    case State::Failed:
        return {{unit}, {"FAILED", ShownText::Red}, {QStringLiteral("  ") + line.detail}};
    }
    return {};
}

QList<ShownLine> StationScreen::LiveLines() const {
    QList<ShownLine> shown{
        ShownLine{{QStringLiteral("%1 elapsed  %2 unit(s)  %3 succeeded  %4 failed")
                       .arg(Clock(shiftClock_.elapsed()), QString::number(tally_.Units()),
                            QString::number(tally_.Succeeded()), QString::number(tally_.Failed()))}}};
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const ShiftTally::Slot& counts = tally_.Slots().value(i);
        shown.append(
            ShownLine{{QStringLiteral("%1 %2 %3 ok %4 failed  ")
                           .arg(Number(i + 1, 2), ShortPort(lines_[i].port).leftJustified(PortColumn),
                                Number(counts.succeeded, 4), Number(counts.failed, 3))}} +
            StateText(lines_[i]));
    }
    return shown;
}

void StationScreen::Redraw(bool force) {
    if (live_)
        live_->Draw(force);
}

void StationScreen::OnDatabase(const ShipperState& state) {
    if (style_ == Style::Json)
        PrintJson(BacklogEvent(state));
    else
        Note(BacklogText(state));
}

void StationScreen::OnLineSetAside(const QString& reason) {
    if (style_ == Style::Json)
        PrintJson({{"event", "db_set_aside"}, {"reason", reason}});
    else
        Note(QStringLiteral("database: a record line was set aside: ") + reason);
}

void StationScreen::End(const ShipperState* database) {
    if (live_)
        live_->Stop();
    if (style_ == Style::Json) {
        QJsonObject summary = SummaryEvent(shift_, tally_, shiftClock_.elapsed());
        if (database) {
            QJsonObject shipping = BacklogEvent(*database);
            shipping.remove("event");
            shipping.insert("shipped", database->shipped);
            shipping.insert("set_aside", database->setAside);
            summary.insert("database", shipping);
        }
        PrintJson(summary);
        return;
    }
    Redraw(true);
    for (const QString& line : SummaryLines(shift_, tally_, shiftClock_.elapsed()))
        output_.Print(line);
    if (database)
        output_.Print(BacklogText(*database));
}

} // namespace rq70::flash
