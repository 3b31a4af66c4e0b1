#include "update/WindowUpdateView.h"

#include "ui_UpdatingCompleteForm.h"
#include "ui_UpdatingForm.h"

#include "update/ProgressBarColor.h"

#include <QMessageBox>

namespace rq70 {

WindowUpdateView::WindowUpdateView(QWidget* mainWindow, bool& abortRequested)
    : mainWindow_(mainWindow), abortRequested_(abortRequested) {}

WindowUpdateView::~WindowUpdateView() {
    delete progress_;
    delete result_;
}

UpdatingForm* WindowUpdateView::Progress() {
    if (!progress_ && !detached_)
        progress_ = new UpdatingForm(mainWindow_, abortRequested_);
    return progress_;
}

UpdatingCompleteForm* WindowUpdateView::Result() {
    if (!result_ && !detached_) {
        result_ = new UpdatingCompleteForm(mainWindow_);
        result_->Form_Unload = [this] {
            if (onResultUnload)
                onResultUnload();
        };
    }
    return result_;
}

void WindowUpdateView::ShowProgressWindow() {
    if (UpdatingForm* form = Progress())
        form->show();
}

void WindowUpdateView::SetProgressLabel1(const QString& text) {
    if (UpdatingForm* form = Progress())
        form->ui->Label1->setText(text);
}

void WindowUpdateView::SetProgressLabel2(const QString& text) {
    if (UpdatingForm* form = Progress())
        form->ui->Label2->setText(text);
}

void WindowUpdateView::SetProgressMax(int max) {
    if (UpdatingForm* form = Progress())
        form->ui->UpdatingBar->setMaximum(max);
}

void WindowUpdateView::SetProgressValue(int value) {
    if (UpdatingForm* form = Progress())
        form->ui->UpdatingBar->setValue(value);
}

void WindowUpdateView::SetProgressBarColor(quint32 colour) {
    if (UpdatingForm* form = Progress())
        rq70::SetProgressBarColor(form->ui->UpdatingBar, colour);
}

void WindowUpdateView::UnloadProgressWindow() {
    if (progress_)
        progress_->close();
}

void WindowUpdateView::UnloadResultWindow() {
    if (result_)
        result_->close();
}

void WindowUpdateView::ShowVerifyError(const QString& text) {
    if (detached_)
        return;
    // Owned by the main window: the progress window may be closed, and deleted, while the box is up.
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Uploader-Error"), text, QMessageBox::Ok,
                    mainWindow_);
    box.exec();
}

void WindowUpdateView::ShowResultWindow() {
    if (UpdatingCompleteForm* form = Result()) {
        form->show();
        form->raise();
    }
}

void WindowUpdateView::SetResultLabel1(const QString& text) {
    if (UpdatingCompleteForm* form = Result())
        form->ui->Label1->setText(text);
}

void WindowUpdateView::SetResultLabel2(const QString& text) {
    if (UpdatingCompleteForm* form = Result())
        form->ui->Label2->setText(text);
}

} // namespace rq70
