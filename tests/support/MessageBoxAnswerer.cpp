#include "MessageBoxAnswerer.h"

#include <QAbstractButton>
#include <QApplication>

MessageBoxAnswerer::MessageBoxAnswerer() {
    connect(&timer_, &QTimer::timeout, this, &MessageBoxAnswerer::Answer);
    timer_.start(5);
}

void MessageBoxAnswerer::Answer() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    QStringList buttons;
    for (QAbstractButton* button : box->buttons())
        buttons << button->text().remove('&');
    boxes.append({box->windowTitle(), box->text(), box->icon(), buttons});
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    (ok ? ok : box->buttons().value(0))->click();
}
