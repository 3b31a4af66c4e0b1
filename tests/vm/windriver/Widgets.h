#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class QWidget;

namespace windriver {

// A control as a script names it: "Window.Control" (MainForm.Label1), "Control" when only one
// shown window holds it (Combo1), or "Window" for the window itself. Only shown windows count.
struct Lookup {
    QWidget* widget = nullptr;
    QString problem; // why nothing was found: none shown, or several with that name
};
Lookup FindWidget(const QString& name);

// The shown top-level window with this object name, or nullptr.
QWidget* FindWindow(const QString& name);

// What a technician sees of a control: its kind, state, text, tooltip, and for lists their
// entries, for progress bars their range and value.
QJsonObject DescribeWidget(const QWidget* widget);

// Every shown top-level window: object name, caption, and its shown labels' and buttons' texts.
QJsonArray DescribeWindows();

// The modal window that takes the input now (a message box), or null.
QJsonValue DescribeModal();

// The modal window that keeps a user from reaching `widget`, or nullptr when nothing does.
QWidget* BlockingModal(const QWidget* widget);

// A button's text as a user reads it: without the "&" that marks its shortcut.
QString ReadableText(const QString& text);

} // namespace windriver
