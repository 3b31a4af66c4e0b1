#include "update/UpdatingCompleteForm.h"

#include "ui_UpdatingCompleteForm.h"

#include "link/WindowFrame.h"

#include <QCloseEvent>

namespace rq70 {

UpdatingCompleteForm::UpdatingCompleteForm(QWidget* mainWindow) : ui(new Ui::UpdatingCompleteForm) {
    ui->setupUi(this);
    SetUpSecondaryWindow(this, QStringLiteral(":/icons/chip.png"), mainWindow);
    ui->Label1->clear();
    ui->Label2->clear();
    // The window's only button: Enter presses it as well as Space.
    ui->OKCmd->setAutoDefault(true);
    connect(ui->OKCmd, &QPushButton::clicked, this, &UpdatingCompleteForm::OKCmd_Click);
}

UpdatingCompleteForm::~UpdatingCompleteForm() {
    delete ui;
}

void UpdatingCompleteForm::OKCmd_Click() {
    close();
}

void UpdatingCompleteForm::closeEvent(QCloseEvent* event) {
    event->accept();
    if (Form_Unload)
        Form_Unload();
}

} // namespace rq70
