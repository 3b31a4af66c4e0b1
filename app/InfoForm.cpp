#include "app/InfoForm.h"

#include "ui_InfoForm.h"

#include "link/WindowFrame.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QUrl>

namespace rq70 {

InfoForm::InfoForm(QWidget* mainWindow) : QWidget(mainWindow), ui(new Ui::InfoForm) {
    ui->setupUi(this);
    SetUpSecondaryWindow(this, QStringLiteral(":/icons/chip.png"), mainWindow);
    // A dialog's frame, and owned by the main window so it stays out of the task bar.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    if (mainWindow)
        move(mainWindow->pos());

    ui->picIcon->setPixmap(QPixmap(QStringLiteral(":/icons/flag-32.png")));
    ui->Label2->setText(QString::fromUtf8(RightsNotice));
    ui->Label3->setText(QString::fromUtf8(ShopAddress));
    ui->Label3->setCursor(QCursor(QPixmap(QStringLiteral(":/icons/hand.png")), 12, 1));
    ui->Label3->installEventFilter(this);

    connect(ui->cmdOK, &QPushButton::clicked, this, &QWidget::close);
}

InfoForm::~InfoForm() {
    delete ui;
}

bool InfoForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->Label3 && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && ui->Label3->rect().contains(mouse->position().toPoint()))
            Label3_Click();
    }
    return QWidget::eventFilter(watched, event);
}

void InfoForm::keyPressEvent(QKeyEvent* event) {
    // OK is both the default and the cancel button: Enter and Esc press it.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        ui->cmdOK->click();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void InfoForm::Label3_Click() {
    // Handed to the desktop's handler for web addresses; nothing waits for it, and a failure
    // leaves the window as it is.
    QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromUtf8(ShopAddress)));
}

} // namespace rq70
