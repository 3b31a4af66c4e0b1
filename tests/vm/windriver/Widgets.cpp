#include "Widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>

namespace windriver {

namespace {

QList<QWidget*> ShownWindows() {
    QList<QWidget*> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            windows << window;
    }
    return windows;
}

QString QualifiedName(const QWidget* widget) {
    if (widget->isWindow())
        return widget->objectName();
    return widget->window()->objectName() + '.' + widget->objectName();
}

QString IconName(QMessageBox::Icon icon) {
    switch (icon) {
    case QMessageBox::NoIcon:
        return QStringLiteral("none");
    case QMessageBox::Information:
        return QStringLiteral("information");
    case QMessageBox::Warning:
        return QStringLiteral("warning");
    case QMessageBox::Critical:
        return QStringLiteral("critical");
    case QMessageBox::Question:
        return QStringLiteral("question");
    }
    return QStringLiteral("unknown");
}

} // namespace

QString ReadableText(const QString& text) {
    QString readable = text;
    return readable.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove('&').replace('\x01', '&');
}

QWidget* FindWindow(const QString& name) {
    for (QWidget* window : ShownWindows()) {
        if (window->objectName() == name)
            return window;
    }
    return nullptr;
}

Lookup FindWidget(const QString& name) {
    const qsizetype dot = name.indexOf('.');
    const QString windowName = dot < 0 ? QString() : name.left(dot);
    const QString controlName = dot < 0 ? name : name.mid(dot + 1);
    QList<QWidget*> found;
    for (QWidget* window : ShownWindows()) {
        if (!windowName.isEmpty() && window->objectName() != windowName)
            continue;
        if (window->objectName() == controlName)
            found << window;
        found << window->findChildren<QWidget*>(controlName);
    }
    if (found.size() > 1) {
        // Windows share control names (Label1, OKCmd); of several, the one a user can see is meant,
        // such as the OK of the search window rather than its hidden Abort in the same place.
        QList<QWidget*> shown;
        for (QWidget* widget : found) {
            if (widget->isVisible())
                shown << widget;
        }
        if (shown.size() == 1)
            return {shown.first(), {}};
        QStringList names;
        for (const QWidget* widget : found)
            names << QualifiedName(widget);
        return {nullptr, QStringLiteral("%1 is ambiguous: %2").arg(name, names.join(", "))};
    }
    if (found.isEmpty())
        return {nullptr, QStringLiteral("no shown window holds %1").arg(name)};
    return {found.first(), {}};
}

QJsonObject DescribeWidget(const QWidget* widget) {
    QJsonObject facts{{"name", QualifiedName(widget)},
                      {"class", QString::fromLatin1(widget->metaObject()->className())},
                      {"visible", widget->isVisible()},
                      {"enabled", widget->isEnabled()},
                      {"tooltip", widget->toolTip()}};
    if (widget->isWindow())
        facts["title"] = widget->windowTitle();
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        facts["text"] = label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
        facts["text"] = ReadableText(button->text());
    if (const auto* field = qobject_cast<const QLineEdit*>(widget))
        facts["text"] = field->text();
    if (const auto* list = qobject_cast<const QComboBox*>(widget)) {
        facts["text"] = list->currentText();
        facts["index"] = list->currentIndex();
        QJsonArray items;
        QStringList entries;
        for (int index = 0; index < list->count(); ++index) {
            const QString tooltip = list->itemData(index, Qt::ToolTipRole).toString();
            items.append(QJsonObject{{"text", list->itemText(index)}, {"tooltip", tooltip}});
            entries << list->itemText(index) + ' ' + tooltip;
        }
        facts["items"] = items;
        // The same as one text, for a script that compares without reading JSON.
        facts["entries"] = entries.join(QStringLiteral(", "));
    }
    if (const auto* bar = qobject_cast<const QProgressBar*>(widget)) {
        facts["value"] = bar->value();
        facts["minimum"] = bar->minimum();
        facts["maximum"] = bar->maximum();
    }
    return facts;
}

QJsonArray DescribeWindows() {
    QJsonArray windows;
    for (QWidget* window : ShownWindows()) {
        QJsonObject labels;
        for (const QLabel* label : window->findChildren<QLabel*>()) {
            if (label->isVisible() && !label->objectName().isEmpty())
                labels[label->objectName()] = label->text();
        }
        QJsonObject buttons;
        for (const QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
            if (button->isVisible() && !button->objectName().isEmpty())
                buttons[button->objectName()] =
                    QJsonObject{{"text", ReadableText(button->text())}, {"enabled", button->isEnabled()}};
        }
        windows.append(QJsonObject{{"name", window->objectName()},
                                   {"title", window->windowTitle()},
                                   {"class", QString::fromLatin1(window->metaObject()->className())},
                                   {"modal", window->isModal()},
                                   {"labels", labels},
                                   {"buttons", buttons}});
    }
    return windows;
}

QJsonValue DescribeModal() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal)
        return QJsonValue::Null;
    QJsonObject facts{{"name", modal->objectName()},
                      {"class", QString::fromLatin1(modal->metaObject()->className())},
                      {"title", modal->windowTitle()}};
    if (const auto* box = qobject_cast<const QMessageBox*>(modal)) {
        facts["text"] = box->text();
        facts["informative"] = box->informativeText();
        facts["icon"] = IconName(box->icon());
    }
    QJsonArray buttons;
    for (const QAbstractButton* button : modal->findChildren<QAbstractButton*>()) {
        if (button->isVisible())
            buttons.append(ReadableText(button->text()));
    }
    facts["buttons"] = buttons;
    return facts;
}

QWidget* BlockingModal(const QWidget* widget) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal)
        return nullptr;
    // A window the modal one owns (or the modal window itself) stays reachable.
    for (const QWidget* window = widget->window(); window; window = window->parentWidget()) {
        if (window == modal)
            return nullptr;
    }
    return modal;
}

} // namespace windriver
