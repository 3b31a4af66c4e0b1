#include "flash/UpdateScreen.h"

#include "common/InterruptSignal.h"
#include "flash/OutcomeText.h"
#include "flash/UpdateEvents.h"
#include "update/TerminalText.h"

#include <QJsonObject>

namespace rq70::flash {

namespace {

// Plain lines, which a log keeps, come more seldom still.
constexpr int PlainProgressStep = 10;
constexpr int RedrawIntervalMs = 100;

QString TimeLeft(qint64 elapsedMs, int percent) {
    if (percent <= 0 || percent >= 100)
        return {};
    return Clock(elapsedMs * (100 - percent) / percent);
}

} // namespace

UpdateScreen::UpdateScreen(Style style, const QList<ChosenPort>& ports, std::FILE* out)
    : style_(style), output_(out) {
    for (const ChosenPort& port : ports)
        lines_.append(Line{port.Name(), UpdatePhase::None, 0, -1, {}, {}});
    if (style_ == Style::Terminal) {
        // The elapsed time moves on even while a device sits in a long wait.
        ticker_.setInterval(1000);
        QObject::connect(&ticker_, &QTimer::timeout, [this] { Redraw(true); });
    }
}

void UpdateScreen::Note(const QString& text) {
    NoteOnStderr(text);
    // The live lines start afresh below the note instead of drawing over it.
    drawn_ = false;
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
    if (style_ == Style::Terminal) {
        sinceRedraw_.start();
        ticker_.start();
        Redraw(true);
    }
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
        if (event.kind == DeviceEvent::VerifyFailed) {
            output_.PrintJson(VerifyFailedEvent(line.port, event));
        } else if (newPhase || event.percent >= line.printedPercent + JsonProgressStep) {
            line.printedPercent = event.percent;
            output_.PrintJson(ProgressEvent(line.port, event, elapsed));
        }
        break;
    case Style::Plain:
        if (event.kind == DeviceEvent::VerifyFailed) {
            output_.Print(QStringLiteral("%1: %2").arg(line.port, event.text));
        } else if (newPhase || event.percent >= line.printedPercent + PlainProgressStep) {
            line.printedPercent = event.percent - event.percent % PlainProgressStep;
            output_.Print(QStringLiteral("%1: %2 %3% (%4 elapsed)")
                              .arg(line.port, PhaseName(event.phase))
                              .arg(event.percent)
                              .arg(Clock(elapsed)));
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
                               outcome.Succeeded()
                                   ? QStringLiteral(", ") + TerminalSafe(outcome.result.identification)
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
                              "the unit under way)")
             : QStringLiteral("interrupted: every update stops after the unit under way"));
}

QString UpdateScreen::LiveText(const Line& line) const {
    const qint64 elapsed = line.clock.isValid() ? line.clock.elapsed() : 0;
    if (!line.verdict.isEmpty())
        return QStringLiteral("%1  %2").arg(line.port, -12).arg(line.verdict);
    QString text =
        QStringLiteral("%1  %2 %3%  %4 elapsed")
            .arg(line.port, -12)
            .arg(line.phase == UpdatePhase::None ? QStringLiteral("start") : PhaseName(line.phase), -7)
            .arg(line.percent, 3)
            .arg(Clock(elapsed), 5);
    const QString left = TimeLeft(elapsed, line.percent);
    if (!left.isEmpty())
        text += QStringLiteral("  %1 left").arg(left, 5);
    return text;
}

void UpdateScreen::Redraw(bool force) {
    if (style_ != Style::Terminal ||
        (!force && sinceRedraw_.isValid() && sinceRedraw_.elapsed() < RedrawIntervalMs))
        return;
    sinceRedraw_.restart();
    QString text;
    if (drawn_)
        text += QStringLiteral("\x1b[%1A").arg(lines_.size());
    // A line wider than the terminal would wrap, and moving up one row per device would then
    // land in the wrong place.
    const int width = output_.Width();
    for (const Line& line : lines_)
        text +=
            QStringLiteral("\r\x1b[2K") + LiveText(line).left(std::max(width - 1, 20)) + QLatin1Char('\n');
    drawn_ = true;
    output_.Write(text.toUtf8());
}

void UpdateScreen::Summary(const QList<DeviceOutcome>& outcomes, int exitStatus) {
    ticker_.stop();
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
        rows.append({lines_.value(outcome.device).port,
                     outcome.result.identification.isEmpty() ? QStringLiteral("-")
                                                             : TerminalSafe(outcome.result.identification),
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
