#include "flash/ProgressReport.h"

#include "flash/UpdateEvents.h"
#include "update/TerminalText.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <sys/ioctl.h>

namespace rq70::flash {

namespace {

// Plain lines, which a log keeps, come more seldom still.
constexpr int PlainProgressStep = 10;
constexpr int RedrawIntervalMs = 100;

int TerminalWidth(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

QString TimeLeft(qint64 elapsedMs, int percent) {
    if (percent <= 0 || percent >= 100)
        return {};
    return Clock(elapsedMs * (100 - percent) / percent);
}

} // namespace

QString Clock(qint64 ms) {
    const qint64 seconds = ms / 1000;
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString OpenFailureText(const OpenResult& open) {
    // A port that is not there is most often a typing slip or an adapter not plugged in.
    if (open.failure == OpenFailure::Missing)
        return open.description + QStringLiteral(" ('rq70-flash ports' lists the ports there are)");
    return open.description;
}

QString VerdictOf(const DeviceOutcome& outcome) {
    if (!outcome.ran)
        return QStringLiteral("not run");
    if (outcome.result.outcome == UpdateResult::Succeeded)
        return outcome.RecordMissing() ? QStringLiteral("record_failed") : QStringLiteral("success");
    return outcome.result.aborted ? QStringLiteral("aborted") : QStringLiteral("failure");
}

QString FailureOf(const DeviceOutcome& outcome) {
    if (!outcome.ran)
        return outcome.open.ok() ? QStringLiteral("not started") : outcome.open.description;
    const UpdateResult& result = outcome.result;
    if (result.outcome == UpdateResult::Succeeded)
        return outcome.RecordMissing()
                   ? QStringLiteral("the update record was not written: ") + outcome.recordWarning
                   : QString();
    QString where = PhaseName(result.failedPhase);
    if (result.failedWord >= 0)
        where += QStringLiteral(" at word %1").arg(result.failedWord);
    return where.isEmpty() ? result.reason : where + QStringLiteral(": ") + result.reason;
}

ProgressReport::ProgressReport(Style style, const QList<ChosenPort>& ports, std::FILE* out)
    : style_(style), out_(out) {
    for (const ChosenPort& port : ports)
        lines_.append(Line{port.Name(), UpdatePhase::None, 0, -1, {}, {}});
    if (style_ == Style::Terminal) {
        // The elapsed time moves on even while a device sits in a long wait.
        ticker_.setInterval(1000);
        QObject::connect(&ticker_, &QTimer::timeout, [this] { Redraw(true); });
    }
}

void ProgressReport::PrintJson(const QJsonObject& object) {
    Print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void ProgressReport::Print(const QString& text) {
    Write(text.toUtf8() + '\n');
}

void ProgressReport::Write(const QByteArray& bytes) {
    // A reader that went away (a closed pipe or terminal) ends the report, not the updates.
    if (outputGone_)
        return;
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out_);
    if (std::fflush(out_) != 0 || std::ferror(out_))
        outputGone_ = true;
}

void ProgressReport::Note(const QString& text) {
    std::fprintf(stderr, "rq70-flash: %s\n", qPrintable(text));
    // The live lines start afresh below the note instead of drawing over it.
    drawn_ = false;
}

void ProgressReport::Started(const QStringList& devicePaths) {
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        lines_[i].clock.start();
        if (style_ == Style::Json)
            PrintJson(StartEvent(lines_[i].port, devicePaths.value(i)));
        else if (style_ == Style::Plain)
            Print(QStringLiteral("%1: updating (%2)").arg(lines_[i].port, devicePaths.value(i)));
    }
    started_ = true;
    if (style_ == Style::Terminal) {
        sinceRedraw_.start();
        ticker_.start();
        Redraw(true);
    }
}

void ProgressReport::OnEvent(const DeviceEvent& event) {
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
            PrintJson(VerifyFailedEvent(line.port, event));
        } else if (newPhase || event.percent >= line.printedPercent + JsonProgressStep) {
            line.printedPercent = event.percent;
            PrintJson(ProgressEvent(line.port, event, elapsed));
        }
        break;
    case Style::Plain:
        if (event.kind == DeviceEvent::VerifyFailed) {
            Print(QStringLiteral("%1: %2").arg(line.port, event.text));
        } else if (newPhase || event.percent >= line.printedPercent + PlainProgressStep) {
            line.printedPercent = event.percent - event.percent % PlainProgressStep;
            Print(QStringLiteral("%1: %2 %3% (%4 elapsed)")
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

void ProgressReport::OnFinished(const DeviceOutcome& outcome) {
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
            PrintJson(IdentificationEvent(line.port, outcome.result.identification));
        PrintJson(VerdictEvent(line.port, outcome));
        break;
    case Style::Plain:
        Print(QStringLiteral("%1: %2 after %3%4")
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

void ProgressReport::OpenFailed(int device, const OpenResult& open) {
    const QString port = lines_.value(device).port;
    if (style_ == Style::Json)
        PrintJson({{"event", "open_failed"}, {"port", port}, {"reason", open.description}});
    Note(OpenFailureText(open));
}

void ProgressReport::Interrupted() {
    if (style_ == Style::Json)
        PrintJson({{"event", "interrupted"}});
    Note(QStringLiteral("interrupted: every update stops after the unit under way"));
}

QString ProgressReport::LiveText(const Line& line) const {
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

void ProgressReport::Redraw(bool force) {
    if (style_ != Style::Terminal ||
        (!force && sinceRedraw_.isValid() && sinceRedraw_.elapsed() < RedrawIntervalMs))
        return;
    sinceRedraw_.restart();
    QString text;
    if (drawn_)
        text += QStringLiteral("\x1b[%1A").arg(lines_.size());
    // A line wider than the terminal would wrap, and moving up one row per device would then
    // land in the wrong place.
    const int width = TerminalWidth(out_);
    for (const Line& line : lines_)
        text +=
            QStringLiteral("\r\x1b[2K") + LiveText(line).left(std::max(width - 1, 20)) + QLatin1Char('\n');
    drawn_ = true;
    Write(text.toUtf8());
}

void ProgressReport::Summary(const QList<DeviceOutcome>& outcomes, int exitStatus) {
    ticker_.stop();
    if (style_ == Style::Json) {
        int succeeded = 0;
        for (const DeviceOutcome& outcome : outcomes)
            succeeded += outcome.Succeeded();
        PrintJson({{"event", "summary"},
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
    Print(QString());
    Print(format(header));
    for (const QStringList& row : rows)
        Print(format(row));
}

} // namespace rq70::flash
