#pragma once

#include "update/UpdateView.h"
#include "update/UpdatingCompleteForm.h"
#include "update/UpdatingForm.h"

#include <QPointer>

#include <functional>

namespace rq70 {

// The update's view on screen: the progress window and the result window, each loaded when the
// run first refers to it. A window the user closed in the middle of a run is loaded again, but
// not shown, by the run's next reference to it.
class WindowUpdateView : public UpdateView {
public:
    WindowUpdateView(QWidget* mainWindow, bool& abortRequested);
    // The progress and result windows have no parent: whichever is still open goes with the view.
    ~WindowUpdateView() override;

    void ShowProgressWindow() override;
    void SetProgressLabel1(const QString& text) override;
    void SetProgressLabel2(const QString& text) override;
    void SetProgressMax(int max) override;
    void SetProgressValue(int value) override;
    void SetProgressBarColor(quint32 colour) override;
    void UnloadProgressWindow() override;
    void ShowVerifyError(const QString& text) override;
    void ShowResultWindow() override;
    void SetResultLabel1(const QString& text) override;
    void SetResultLabel2(const QString& text) override;

    // The windows if they are loaded, else null.
    UpdatingForm* ProgressWindow() const { return progress_; }
    UpdatingCompleteForm* ResultWindow() const { return result_; }
    void UnloadResultWindow();

    // What closing the result window does: the program's shutdown.
    std::function<void()> onResultUnload;

    // Once the program is closing, a run that still finishes shows nothing more.
    void Detach() { detached_ = true; }

private:
    UpdatingForm* Progress();
    UpdatingCompleteForm* Result();

    QPointer<QWidget> mainWindow_;
    bool& abortRequested_;
    QPointer<UpdatingForm> progress_;
    QPointer<UpdatingCompleteForm> result_;
    bool detached_ = false;
};

} // namespace rq70
