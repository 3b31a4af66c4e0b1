#pragma once

#include <QJsonObject>
#include <QStringList>

#include <functional>

namespace windriver {

// Where a waited-for condition stands right now.
struct Verdict {
    bool holds = false;
    QJsonObject facts; // what was seen: the control's description, the window, the message box
    QString error;     // set when waiting on cannot help (a name that means several controls)
};
using Condition = std::function<Verdict()>;

struct WaitRequest {
    Condition condition;
    int timeoutMs = 0;
    QString problem; // set when the words name no condition
};

// The words after "wait":
//   window NAME MS | gone NAME MS | modal MS | enabled CONTROL MS | disabled CONTROL MS
//   text|tooltip|title|entries CONTROL [is|has|like] VALUE MS  (is: equal, has: contains, like: regex)
//   value CONTROL [is|atleast] NUMBER MS
WaitRequest ParseWait(const QStringList& words);

} // namespace windriver
