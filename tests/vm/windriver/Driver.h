#pragma once

#include "Conditions.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <optional>

namespace windriver {

class Channel;

// Runs a script's commands one at a time, in the order they came, each with one answer. What a
// user does (a click, a pick in a list, typing) is posted and answered at once, so the program's
// own handler then runs in its event loop as it would for the user, nested waits and all. A wait
// holds back the commands behind it until its condition holds or its time is up.
class Driver : public QObject {
    Q_OBJECT

public:
    explicit Driver(Channel& channel);

    void Receive(const QString& line);
    // The program leaves its event loop: a pending wait gets its answer now, later commands an
    // error, since nothing will be there to run them.
    void ProgramEnding();

private:
    struct PendingWait {
        QJsonObject answer;
        Condition condition;
        int timeoutMs = 0;
        QElapsedTimer clock;
    };

    void ProcessNext();
    // The answer, or nothing when a wait now holds back the queue.
    std::optional<QJsonObject> Execute(const QString& line);
    QJsonObject Run(const QString& command, const QStringList& arguments);
    void CheckWait();
    void FinishWait(const Verdict& verdict, bool timedOut);

    Channel& channel_;
    QStringList queue_;
    std::optional<PendingWait> wait_;
    QTimer poll_;
    bool scheduled_ = false;
    bool ending_ = false;
};

} // namespace windriver
