#include "link/AutoDetectForm.h"

#include "ui_AutoDetectForm.h"

#include "link/WindowFrame.h"

namespace rq70 {

AutoDetectForm::AutoDetectForm(QWidget* mainWindow, bool& abortRequested)
    : ui(new Ui::AutoDetectForm), abortRequested_(abortRequested) {
    ui->setupUi(this);
    SetUpSecondaryWindow(this, QStringLiteral(":/icons/connector.png"), mainWindow);
    // Both buttons share one place; the search shows one of them at a time.
    ui->AbortCmd->hide();
    ui->OKCmd->hide();
    // Whichever is showing is the window's only button: Enter presses it as well as Space.
    ui->AbortCmd->setAutoDefault(true);
    ui->OKCmd->setAutoDefault(true);
    connect(ui->AbortCmd, &QPushButton::clicked, this, [this] { abortRequested_ = true; });
    connect(ui->OKCmd, &QPushButton::clicked, this, &QWidget::close);
}

AutoDetectForm::~AutoDetectForm() {
    delete ui;
}

} // namespace rq70
