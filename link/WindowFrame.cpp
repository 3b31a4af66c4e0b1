#include "link/WindowFrame.h"

#include <QIcon>
#include <QWidget>

namespace rq70 {

void SetUpFixedWindow(QWidget* window, const QString& iconPath) {
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
    window->setFixedSize(window->size());
    window->setWindowIcon(QIcon(iconPath));
    window->setAttribute(Qt::WA_DeleteOnClose);
}

void SetUpSecondaryWindow(QWidget* window, const QString& iconPath, const QWidget* mainWindow) {
    SetUpFixedWindow(window, iconPath);
    if (mainWindow)
        window->move(mainWindow->pos());
}

} // namespace rq70
