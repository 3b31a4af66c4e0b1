#pragma once

#include <QWidget>

namespace Ui {
class AutoDetectForm;
}

namespace rq70 {

// The window in which the port search reports what it is doing and what it found.
class AutoDetectForm : public QWidget {
    Q_OBJECT

public:
    // Loading lays the window over the main window.
    AutoDetectForm(QWidget* mainWindow, bool& abortRequested);
    ~AutoDetectForm() override;

    Ui::AutoDetectForm* const ui;

private:
    bool& abortRequested_;
};

} // namespace rq70
