#pragma once

#include "link/AutoDetectForm.h"
#include "link/DetectionView.h"

#include <QPointer>

#include <functional>

class QComboBox;
class QPushButton;

namespace rq70 {

// The search's view on screen. Closing the search window does not stop the search; it just has
// nowhere left to show its lines.
class WindowDetectionView : public DetectionView {
public:
    WindowDetectionView(QWidget* mainWindow, bool& abortRequested, QPushButton* mainOK, QComboBox* portList,
                        std::function<void()> portListClick);
    // The search window has no parent: if it is still open, it goes with the view.
    ~WindowDetectionView() override;

    void ShowDetectionWindow() override;
    void SetLines(const QString& label1, const QString& label2) override;
    void ShowAbortButton() override;
    void ShowOKButton() override;
    void SetMainOKEnabled(bool enabled) override;
    void SelectPortEntry(const QString& name) override;
    void ShowPortWarning(const QString& description) override;

    AutoDetectForm* Window() const { return form_; }
    void UnloadWindow();
    // Once the program is closing, a search that still finishes shows nothing more.
    void Detach() { detached_ = true; }

private:
    QPointer<QWidget> mainWindow_;
    bool& abortRequested_;
    QPointer<QPushButton> mainOK_;
    QPointer<QComboBox> portList_;
    std::function<void()> portListClick_;
    QPointer<AutoDetectForm> form_;
    bool detached_ = false;
};

} // namespace rq70
