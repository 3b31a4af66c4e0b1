#include "Driver.h"

#include "Channel.h"
#include "Widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QWidget>

namespace windriver {

namespace {

// Often enough that a script sees a change within a few tens of milliseconds, seldom enough that
// the checks cost the program nothing worth measuring.
constexpr int PollIntervalMs = 20;

QJsonObject Failure(const QString& error) {
    return {{"ok", false}, {"error", error}};
}

QJsonObject Success(QJsonObject facts = {}) {
    facts["ok"] = true;
    return facts;
}

// The control a user could operate now: found, shown, enabled and not behind a message box.
// `problem` says why not.
QWidget* Operable(const QString& name, QString& problem) {
    const Lookup lookup = FindWidget(name);
    if (!lookup.widget) {
        problem = lookup.problem;
        return nullptr;
    }
    if (!lookup.widget->isVisible())
        problem = QStringLiteral("%1 is not shown").arg(name);
    else if (!lookup.widget->isEnabled())
        problem = QStringLiteral("%1 is disabled").arg(name);
    else if (const QWidget* modal = BlockingModal(lookup.widget))
        problem = QStringLiteral("%1 is behind the modal window \"%2\"").arg(name, modal->windowTitle());
    return problem.isEmpty() ? lookup.widget : nullptr;
}

void PostKey(QWidget* target, int key, const QString& text) {
    QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
    QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, text));
}

QJsonObject Click(const QStringList& arguments) {
    if (arguments.size() != 1)
        return Failure(QStringLiteral("usage: click CONTROL"));
    QString problem;
    auto* button = qobject_cast<QAbstractButton*>(Operable(arguments[0], problem));
    if (!button)
        return Failure(problem.isEmpty() ? QStringLiteral("%1 is no button").arg(arguments[0]) : problem);
    QTimer::singleShot(0, button, [button] { button->click(); });
    return Success();
}

QJsonObject Select(const QStringList& arguments) {
    if (arguments.size() != 2)
        return Failure(QStringLiteral("usage: select LIST ENTRY"));
    QString problem;
    auto* list = qobject_cast<QComboBox*>(Operable(arguments[0], problem));
    if (!list)
        return Failure(problem.isEmpty() ? QStringLiteral("%1 is no list").arg(arguments[0]) : problem);
    const int index = list->findText(arguments[1], Qt::MatchExactly);
    if (index < 0)
        return Failure(QStringLiteral("%1 has no entry %2").arg(arguments[0], arguments[1]));
    // What a pick from the drop-down does: the entry becomes current, then the list reports it.
    QTimer::singleShot(0, list, [list, index] {
        list->setCurrentIndex(index);
        emit list->activated(index);
        emit list->textActivated(list->itemText(index));
    });
    return Success();
}

QJsonObject Type(const QStringList& arguments) {
    if (arguments.size() != 2)
        return Failure(QStringLiteral("usage: type FIELD TEXT"));
    QString problem;
    QWidget* widget = Operable(arguments[0], problem);
    if (!widget)
        return Failure(problem);
    QLineEdit* field = qobject_cast<QLineEdit*>(widget);
    if (const auto* list = qobject_cast<QComboBox*>(widget))
        field = list->lineEdit();
    if (!field)
        return Failure(QStringLiteral("%1 takes no typing").arg(arguments[0]));
    // Key by key, as from the keyboard, into a field the user has cleared, then Enter.
    field->setFocus(Qt::OtherFocusReason);
    QTimer::singleShot(0, field, [field] { field->clear(); });
    for (const QChar character : arguments[1])
        PostKey(field, character.toUpper().unicode(), QString(character));
    PostKey(field, Qt::Key_Return, QStringLiteral("\r"));
    return Success();
}

QJsonObject Answer(const QStringList& arguments) {
    if (arguments.size() != 1)
        return Failure(QStringLiteral("usage: answer BUTTON-TEXT"));
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal)
        return Failure(QStringLiteral("no modal window is shown"));
    for (QAbstractButton* button : modal->findChildren<QAbstractButton*>()) {
        if (button->isVisible() && ReadableText(button->text()) == arguments[0]) {
            QTimer::singleShot(0, button, [button] { button->click(); });
            return Success({{"modal", DescribeModal()}});
        }
    }
    return Failure(QStringLiteral("the modal window has no button %1").arg(arguments[0]));
}

QJsonObject Close(const QStringList& arguments) {
    if (arguments.size() != 1)
        return Failure(QStringLiteral("usage: close WINDOW"));
    QWidget* window = FindWindow(arguments[0]);
    if (!window)
        return Failure(QStringLiteral("no shown window %1").arg(arguments[0]));
    // As its close box does: the window's own close handling decides what follows.
    QPointer<QWidget> target(window);
    QTimer::singleShot(0, window, [target] {
        if (target)
            target->close();
    });
    return Success();
}

QJsonObject Screenshot(const QStringList& arguments) {
    if (arguments.size() != 2)
        return Failure(QStringLiteral("usage: screenshot WINDOW-OR-CONTROL FILE.png"));
    const Lookup lookup = FindWidget(arguments[0]);
    if (!lookup.widget)
        return Failure(lookup.problem);
    const QPixmap picture = lookup.widget->grab();
    if (!picture.save(arguments[1]))
        return Failure(QStringLiteral("cannot write %1").arg(arguments[1]));
    return Success({{"width", picture.width()}, {"height", picture.height()}});
}

// One field of a control's description: `text W`, `tooltip W`, `enabled W`, `items W`.
QJsonObject Query(const QString& field, const QStringList& arguments) {
    if (arguments.size() != 1)
        return Failure(QStringLiteral("usage: %1 CONTROL").arg(field));
    const Lookup lookup = FindWidget(arguments[0]);
    if (!lookup.widget)
        return Failure(lookup.problem);
    const QJsonObject facts = DescribeWidget(lookup.widget);
    if (field == "widget")
        return Success(facts);
    if (!facts.contains(field))
        return Failure(QStringLiteral("%1 has no %2").arg(arguments[0], field));
    QJsonObject answer{{field, facts[field]}};
    if (field == "items") {
        answer["text"] = facts["text"];
        answer["index"] = facts["index"];
        answer["tooltip"] = facts["tooltip"];
    }
    return Success(answer);
}

// The answer to a line that will not run, under the id its script gave it.
QJsonObject NotRun(const QString& line) {
    QJsonObject answer{{"ok", false}, {"line", line}, {"error", "the program is ending"}};
    const QStringList words = QProcess::splitCommand(line);
    if (!words.isEmpty() && words.first().startsWith('@'))
        answer["id"] = words.first().mid(1);
    return answer;
}

} // namespace

Driver::Driver(Channel& channel) : channel_(channel) {
    poll_.setInterval(PollIntervalMs);
    connect(&poll_, &QTimer::timeout, this, &Driver::CheckWait);
}

void Driver::Receive(const QString& line) {
    if (ending_) {
        channel_.Write(NotRun(line));
        return;
    }
    queue_ << line;
    ProcessNext();
}

void Driver::ProcessNext() {
    while (!wait_ && !queue_.isEmpty()) {
        const std::optional<QJsonObject> answer = Execute(queue_.takeFirst());
        if (answer)
            channel_.Write(*answer);
    }
}

std::optional<QJsonObject> Driver::Execute(const QString& line) {
    QStringList words = QProcess::splitCommand(line);
    QJsonObject base;
    if (!words.isEmpty() && words.first().startsWith('@'))
        base["id"] = words.takeFirst().mid(1);
    if (words.isEmpty()) {
        base["ok"] = false;
        base["error"] = QStringLiteral("empty command");
        return base;
    }
    const QString command = words.takeFirst();
    base["cmd"] = command;
    if (command == "wait") {
        WaitRequest request = ParseWait(words);
        if (!request.problem.isEmpty()) {
            base["ok"] = false;
            base["error"] = request.problem;
            return base;
        }
        wait_ = PendingWait{base, request.condition, request.timeoutMs, {}};
        wait_->clock.start();
        CheckWait();
        return std::nullopt;
    }
    QJsonObject answer = Run(command, words);
    for (auto it = base.begin(); it != base.end(); ++it)
        answer[it.key()] = it.value();
    return answer;
}

QJsonObject Driver::Run(const QString& command, const QStringList& arguments) {
    if (command == "windows")
        return Success({{"windows", DescribeWindows()}});
    if (command == "modal")
        return Success({{"modal", DescribeModal()}});
    if (command == "widget" || command == "text" || command == "tooltip" || command == "enabled" ||
        command == "items")
        return Query(command, arguments);
    if (command == "click")
        return Click(arguments);
    if (command == "select")
        return Select(arguments);
    if (command == "type")
        return Type(arguments);
    if (command == "answer")
        return Answer(arguments);
    if (command == "close")
        return Close(arguments);
    if (command == "screenshot")
        return Screenshot(arguments);
    if (command == "quit") {
        // After this answer is out: the program leaves every event loop it is in and ends.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        return Success();
    }
    return Failure(QStringLiteral("unknown command %1").arg(command));
}

void Driver::CheckWait() {
    if (!wait_)
        return;
    const Verdict verdict = wait_->condition();
    if (verdict.holds || !verdict.error.isEmpty()) {
        FinishWait(verdict, false);
        return;
    }
    if (wait_->clock.elapsed() >= wait_->timeoutMs) {
        FinishWait(verdict, true);
        return;
    }
    if (!poll_.isActive())
        poll_.start();
}

void Driver::FinishWait(const Verdict& verdict, bool timedOut) {
    poll_.stop();
    QJsonObject answer = verdict.facts;
    for (auto it = wait_->answer.begin(); it != wait_->answer.end(); ++it)
        answer[it.key()] = it.value();
    answer["ok"] = verdict.holds;
    answer["waited_ms"] = qint64(wait_->clock.elapsed());
    if (timedOut)
        answer["timeout"] = true;
    if (!verdict.error.isEmpty())
        answer["error"] = verdict.error;
    wait_.reset();
    channel_.Write(answer);
    // The commands behind the wait run on their own turn of the event loop, not inside this
    // timer's call.
    if (!queue_.isEmpty() && !scheduled_) {
        scheduled_ = true;
        QTimer::singleShot(0, this, [this] {
            scheduled_ = false;
            ProcessNext();
        });
    }
}

void Driver::ProgramEnding() {
    if (wait_) {
        const Verdict verdict = wait_->condition();
        if (verdict.holds) {
            FinishWait(verdict, false);
        } else {
            Verdict ended = verdict;
            ended.error = QStringLiteral("the program is ending");
            FinishWait(ended, false);
        }
    }
    ending_ = true;
    for (const QString& line : std::as_const(queue_))
        channel_.Write(NotRun(line));
    queue_.clear();
    channel_.Write({{"event", "quit"}});
}

} // namespace windriver
