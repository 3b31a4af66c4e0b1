#include "Conditions.h"

#include "Widgets.h"

#include <QApplication>
#include <QRegularExpression>
#include <QWidget>

namespace windriver {

namespace {

// A condition on one control, looked up afresh on every check: the window it lives in may open,
// close and open again while the script waits.
Condition OnControl(const QString& name, std::function<bool(const QJsonObject&)> test) {
    return [name, test] {
        const Lookup lookup = FindWidget(name);
        if (!lookup.widget) {
            Verdict verdict;
            verdict.facts = {{"last", lookup.problem}};
            if (lookup.problem.contains(QStringLiteral("ambiguous")))
                verdict.error = lookup.problem;
            return verdict;
        }
        const QJsonObject facts = DescribeWidget(lookup.widget);
        return Verdict{test(facts), facts, {}};
    };
}

std::function<bool(const QJsonObject&)> TextTest(const QString& field, const QString& op,
                                                 const QString& value, QString& problem) {
    if (op == "is")
        return [field, value](const QJsonObject& facts) { return facts.value(field).toString() == value; };
    if (op == "has")
        return [field, value](const QJsonObject& facts) {
            return facts.value(field).toString().contains(value);
        };
    if (op == "like") {
        const QRegularExpression pattern(value);
        if (!pattern.isValid()) {
            problem = QStringLiteral("bad pattern %1: %2").arg(value, pattern.errorString());
            return {};
        }
        return [field, pattern](const QJsonObject& facts) {
            return pattern.match(facts.value(field).toString()).hasMatch();
        };
    }
    problem = QStringLiteral("unknown comparison %1 (is, has, like)").arg(op);
    return {};
}

std::function<bool(const QJsonObject&)> NumberTest(const QString& op, const QString& value,
                                                   QString& problem) {
    bool number = false;
    const int expected = value.toInt(&number);
    if (!number) {
        problem = QStringLiteral("%1 is no number").arg(value);
        return {};
    }
    if (op == "is")
        return [expected](const QJsonObject& facts) {
            return facts.contains("value") && facts.value("value").toInt() == expected;
        };
    if (op == "atleast")
        return [expected](const QJsonObject& facts) {
            return facts.contains("value") && facts.value("value").toInt() >= expected;
        };
    problem = QStringLiteral("unknown comparison %1 (is, atleast)").arg(op);
    return {};
}

WaitRequest Problem(const QString& text) {
    WaitRequest request;
    request.problem = text;
    return request;
}

} // namespace

WaitRequest ParseWait(const QStringList& words) {
    const QString usage =
        QStringLiteral("wait window|gone NAME MS, wait modal MS, wait enabled|disabled CONTROL MS, "
                       "wait text|tooltip|title|entries CONTROL [is|has|like] VALUE MS, wait value CONTROL "
                       "[is|atleast] N MS");
    if (words.size() < 2)
        return Problem(usage);
    WaitRequest request;
    bool number = false;
    request.timeoutMs = words.last().toInt(&number);
    if (!number || request.timeoutMs < 0)
        return Problem(QStringLiteral("the last word, %1, is no time in milliseconds").arg(words.last()));
    const QString kind = words.first();
    const QStringList rest = words.mid(1, words.size() - 2);

    if (kind == "modal" && rest.isEmpty()) {
        request.condition = [] {
            const QJsonValue modal = DescribeModal();
            return Verdict{!modal.isNull(), {{"modal", modal}}, {}};
        };
        return request;
    }
    if ((kind == "window" || kind == "gone") && rest.size() == 1) {
        const QString name = rest.first();
        const bool wanted = kind == "window";
        request.condition = [name, wanted] {
            QWidget* window = FindWindow(name);
            const QJsonObject facts = window ? DescribeWidget(window) : QJsonObject{{"shown", false}};
            return Verdict{(window != nullptr) == wanted, facts, {}};
        };
        return request;
    }
    if ((kind == "enabled" || kind == "disabled") && rest.size() == 1) {
        const bool wanted = kind == "enabled";
        request.condition = OnControl(
            rest.first(), [wanted](const QJsonObject& facts) { return facts["enabled"].toBool() == wanted; });
        return request;
    }
    if ((kind == "text" || kind == "tooltip" || kind == "title" || kind == "entries") &&
        (rest.size() == 2 || rest.size() == 3)) {
        const QString op = rest.size() == 3 ? rest[1] : QStringLiteral("is");
        QString problem;
        auto test = TextTest(kind, op, rest.last(), problem);
        if (!test)
            return Problem(problem);
        request.condition = OnControl(rest.first(), test);
        return request;
    }
    if (kind == "value" && (rest.size() == 2 || rest.size() == 3)) {
        const QString op = rest.size() == 3 ? rest[1] : QStringLiteral("is");
        QString problem;
        auto test = NumberTest(op, rest.last(), problem);
        if (!test)
            return Problem(problem);
        request.condition = OnControl(rest.first(), test);
        return request;
    }
    return Problem(usage);
}

} // namespace windriver
