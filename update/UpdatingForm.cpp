#include "update/UpdatingForm.h"

#include "ui_UpdatingForm.h"

#include "link/WindowFrame.h"

namespace rq70 {

UpdatingForm::UpdatingForm(QWidget* mainWindow, bool& abortRequested)
    : ui(new Ui::UpdatingForm), abortRequested_(abortRequested) {
    ui->setupUi(this);
    SetUpSecondaryWindow(this, QStringLiteral(":/icons/chip.png"), mainWindow);
    abortRequested_ = false;
    connect(ui->AbortCmd, &QPushButton::clicked, this, &UpdatingForm::AbortCmd_Click);
}

UpdatingForm::~UpdatingForm() {
    delete ui;
}

void UpdatingForm::AbortCmd_Click() {
    // The run sees the flag after its current row, block or EEPROM byte and ends itself.
    abortRequested_ = true;
}

} // namespace rq70
