#pragma once

#include <QWidget>

namespace Ui {
class UpdatingForm;
}

namespace rq70 {

// The progress window of an update: model, phase, progress bar and Abort.
class UpdatingForm : public QWidget {
    Q_OBJECT

public:
    // Loading lays the window over the main window and clears the abort flag.
    UpdatingForm(QWidget* mainWindow, bool& abortRequested);
    ~UpdatingForm() override;

    Ui::UpdatingForm* const ui;

private:
    void AbortCmd_Click();

    bool& abortRequested_;
};

} // namespace rq70
