#include "link/WindowDetectionView.h"

#include "ui_AutoDetectForm.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>

namespace rq70 {

WindowDetectionView::WindowDetectionView(QWidget* mainWindow, bool& abortRequested, QPushButton* mainOK,
                                         QComboBox* portList, std::function<void()> portListClick)
    : mainWindow_(mainWindow), abortRequested_(abortRequested), mainOK_(mainOK), portList_(portList),
      portListClick_(std::move(portListClick)) {}

WindowDetectionView::~WindowDetectionView() {
    delete form_;
}

void WindowDetectionView::ShowDetectionWindow() {
    if (detached_)
        return;
    if (!form_)
        form_ = new AutoDetectForm(mainWindow_, abortRequested_);
    form_->show();
    form_->raise();
}

void WindowDetectionView::SetLines(const QString& label1, const QString& label2) {
    if (!form_)
        return;
    form_->ui->Label1->setText(label1);
    form_->ui->Label2->setText(label2);
}

void WindowDetectionView::ShowAbortButton() {
    if (!form_)
        return;
    form_->ui->OKCmd->hide();
    form_->ui->AbortCmd->show();
}

void WindowDetectionView::ShowOKButton() {
    if (!form_)
        return;
    form_->ui->AbortCmd->hide();
    form_->ui->OKCmd->show();
}

void WindowDetectionView::SetMainOKEnabled(bool enabled) {
    if (mainOK_ && !detached_)
        mainOK_->setEnabled(enabled);
}

void WindowDetectionView::SelectPortEntry(const QString& name) {
    if (!portList_ || detached_)
        return;
    for (int index = 0; index < portList_->count(); ++index) {
        if (portList_->itemText(index) != name)
            continue;
        portList_->setCurrentIndex(index);
        if (portListClick_)
            portListClick_();
    }
}

void WindowDetectionView::ShowPortWarning(const QString& description) {
    if (detached_)
        return;
    // Owned by the main window: the search window may be closed, and deleted, while the box is up.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Fehlermeldung"), description, QMessageBox::Ok,
                    mainWindow_);
    box.exec();
}

void WindowDetectionView::UnloadWindow() {
    if (form_)
        form_->close();
}

} // namespace rq70
