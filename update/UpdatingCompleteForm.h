#pragma once

#include <QWidget>

#include <functional>

namespace Ui {
class UpdatingCompleteForm;
}

namespace rq70 {

// The result window of an update. Closing it, by OK or by its close box, ends the program.
class UpdatingCompleteForm : public QWidget {
    Q_OBJECT

public:
    // Loading lays the window over the main window and empties both lines.
    explicit UpdatingCompleteForm(QWidget* mainWindow);
    ~UpdatingCompleteForm() override;

    Ui::UpdatingCompleteForm* const ui;

    // Runs when the window unloads: the program closes every window and ends.
    std::function<void()> Form_Unload;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void OKCmd_Click();
};

} // namespace rq70
