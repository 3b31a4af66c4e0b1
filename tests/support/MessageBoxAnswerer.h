#pragma once

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that comes up while it lives, pressing its OK (or first)
// button, and writes down what each one said.
class MessageBoxAnswerer : public QObject {
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QStringList buttons;
    };

    MessageBoxAnswerer();
    QList<Box> boxes;

private:
    void Answer();
    QTimer timer_;
};
