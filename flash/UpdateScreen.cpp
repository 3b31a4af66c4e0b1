#include "flash/UpdateScreen.h"

#include "flash/LineShipping.h"

#include "common/InterruptSignal.h"
#include "flash/Console.h"
#include "flash/OutcomeText.h"
#include "flash/UpdateEvents.h"

#include <QJsonObject>

namespace rq70::flash {

namespace {

// Plain lines, which a log keeps, come more seldom still.
constexpr int PlainProgressStep = 10;

} // namespace

UpdateScreen::UpdateScreen(Style style, const QList<ChosenPort>& ports, std::FILE* out)
    : style_(style), output_(out) {
    for (const ChosenPort& port : ports)
        lines_.append(Line{port.Name(), UpdatePhase::None, 0, -1, {}, {}});
    if (style_ == Style::Terminal)
        live_ = std::make_unique<LiveBlock>(output_, false, [this] { return LiveLines(); });
}

void UpdateScreen::Note(const QString& text) {
    Complain(text);
    if (live_)
        live_->Forget();
}

void UpdateScreen::OnDatabase(const ShipperState& state) {
    if (style_ == Style::Json)
        output_.PrintJson(BacklogEvent(state));
    else
        Note(BacklogText(state));
}

void UpdateScreen::OnLineSetAside(const QString& reason) {
    if (style_ == Style::Json)
        output_.PrintJson({{"event", "db_set_aside"}, {"reason", reason}});
    else
        Note(QStringLiteral("database: a record line was set aside: ") + reason);
}

void UpdateScreen::Started(const QStringList& devicePaths) {
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        lines_[i].clock.start();
        if (style_ == Style::Json)
            output_.PrintJson(StartEvent(lines_[i].port, devicePaths.value(i)));
        else if (style_ == Style::Plain)
            output_.Print(QStringLiteral("%1: updating (%2)").arg(lines_[i].port, devicePaths.value(i)));
    }
    started_ = true;
    if (live_)
        live_->Start();
}

void UpdateScreen::OnEvent(const DeviceEvent& event) {
    if (event.device < 0 || event.device >= lines_.size())
        return;
    Line& line = lines_[event.device];
    const qint64 elapsed = line.clock.elapsed();
    const bool newPhase = event.kind == DeviceEvent::Phase;
    line.phase = event.phase;
    line.percent = event.percent;
    switch (style_) {
    case Style::Json:
        if (const QJsonObject told = EventToTell(line.port, event, elapsed, line.printedPercent);
            !told.isEmpty())
            output_.PrintJson(told);
        break;
    case Style::Plain:
        if (event.kind == DeviceEvent::VerifyFailed) {
            output_.Print(QStringLiteral("%1: %2").arg(line.port, event.text));
        } else if (newPhase || event.percent >= line.printedPercent + PlainProgressStep) {
            line.printedPercent = event.percent - event.percent % PlainProgressStep;
            output_.Print(
                QStringLiteral("%1: %2 %3% (%4 elapsed)")
                    .arg(line.port, PhaseName(event.phase), QString::number(event.percent), Clock(elapsed)));
        }
        break;
    case Style::Terminal:
        Redraw(newPhase || event.kind == DeviceEvent::VerifyFailed);
        break;
    }
}

void UpdateScreen::OnFinished(const DeviceOutcome& outcome) {
    if (outcome.device < 0 || outcome.device >= lines_.size())
        return;
    Line& line = lines_[outcome.device];
    line.verdict = VerdictOf(outcome);
    if (!outcome.recordWarning.isEmpty())
        Note(QStringLiteral("warning: %1: the update record was not written: %2")
                 .arg(line.port, outcome.recordWarning));
    switch (style_) {
    case Style::Json:
        if (!outcome.result.identification.isEmpty())
            output_.PrintJson(IdentificationEvent(line.port, outcome.result.identification));
        output_.PrintJson(VerdictEvent(line.port, outcome));
        break;
    case Style::Plain:
        output_.Print(QStringLiteral("%1: %2 after %3%4")
                          .arg(line.port, line.verdict, Clock(outcome.durationMs),
                               outcome.Succeeded() ? QStringLiteral(", ") + outcome.result.identification
                                                   : QStringLiteral(": ") + FailureOf(outcome)));
        break;
    case Style::Terminal:
        line.percent = outcome.Succeeded() ? 100 : line.percent;
        Redraw(true);
        break;
    }
}

void UpdateScreen::OpenFailed(int device, const OpenResult& open) {
    const QString port = lines_.value(device).port;
    if (style_ == Style::Json)
        output_.PrintJson({{"event", "open_failed"}, {"port", port}, {"reason", open.description}});
    Note(OpenFailureText(open));
}

void UpdateScreen::Interrupted(int signalNumber) {
    if (style_ == Style::Json)
        output_.PrintJson({{"event", "interrupted"}, {"signal", SignalName(signalNumber)}});
    Note(IsHangUp(signalNumber)
             ? QStringLiteral("hang-up: the updates under way run to their end (Ctrl-C stops them after "
                              "the row, block or EEPROM byte under way)")
             : QStringLiteral("interrupted: every update stops after the row, block or EEPROM byte under way "
                              "and is recorded as aborted"));
}

QList<ShownLine> UpdateScreen::LiveLines() const {
    QList<ShownLine> shown;
    for (const Line& line : lines_) {
        const QString port = line.port.leftJustified(12);
        if (!line.verdict.isEmpty()) {
            shown.append(ShownLine{{port + QStringLiteral("  ") + line.verdict}});
            continue;
        }
        const qint64 elapsed = line.clock.isValid() ? line.clock.elapsed() : 0;
        const QString phase =
            line.phase == UpdatePhase::None ? QStringLiteral("start") : PhaseName(line.phase);
        QString text = QStringLiteral("%1  %2 %3%  %4 elapsed")
                           .arg(port, phase.leftJustified(7), QString::number(line.percent).rightJustified(3),
                                Clock(elapsed).rightJustified(5));
        if (const QString left = TimeLeft(elapsed, line.percent); !left.isEmpty())
            text += QStringLiteral("  %1 left").arg(left.rightJustified(5));
        shown.append(ShownLine{{text}});
    }
    return shown;
}

void UpdateScreen::Redraw(bool force) {
    if (live_)
        live_->Draw(force);
}

void UpdateScreen::Summary(const QList<DeviceOutcome>& outcomes, int exitStatus) {
    if (live_)
        live_->Stop();
    if (style_ == Style::Json) {
        int succeeded = 0;
        for (const DeviceOutcome& outcome : outcomes)
            succeeded += outcome.Succeeded();
        output_.PrintJson({{"event", "summary"},
                           {"devices", int(outcomes.size())},
                           {"succeeded", succeeded},
                           {"failed", int(outcomes.size()) - succeeded},
                           {"exit_status", exitStatus}});
        return;
    }
    if (started_)
        Redraw(true);
    const QStringList header{"Port", "Identification", "Verdict", "Failed at / reason", "Duration"};
    QList<QStringList> rows;
    for (const DeviceOutcome& outcome : outcomes) {
        const QString failure = FailureOf(outcome);
        rows.append(
            {lines_.value(outcome.device).port,
             outcome.result.identification.isEmpty() ? QStringLiteral("-") : outcome.result.identification,
             VerdictOf(outcome), failure.isEmpty() ? QStringLiteral("-") : failure,
             QStringLiteral("%1 s").arg(Seconds(outcome.durationMs), 0, 'f', 1)});
    }
    QList<qsizetype> widths;
    for (qsizetype column = 0; column < header.size(); ++column) {
        qsizetype width = header[column].size();
        for (const QStringList& row : rows)
            width = std::max(width, row[column].size());
        widths.append(width);
    }
    const auto format = [&](const QStringList& row) {
        QString text;
        for (qsizetype column = 0; column < row.size(); ++column)
            text += column + 1 < row.size() ? row[column].leftJustified(widths[column] + 2) : row[column];
        return text;
    };
    output_.Print(QString());
    output_.Print(format(header));
    for (const QStringList& row : rows)
        output_.Print(format(row));
}

} // namespace rq70::flash
