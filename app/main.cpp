// The RQ-70 Updater: loads the update file beside the executable and writes it into the device.

#include "app/MainForm.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rq70-updater"));
    QApplication::setApplicationVersion(QStringLiteral(RQ70_VERSION));
    // The layouts are measured for a small dialog font; 8 pt of the desktop's font would not fit.
    QFont font = QApplication::font();
    font.setPointSizeF(rq70::ApplicationFontPointSize);
    QApplication::setFont(font);

    const std::unique_ptr<QLockFile> instance = rq70::ClaimSingleInstance();
    if (!instance) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Updater-Error"),
                        QStringLiteral("Updater allready running!"), QMessageBox::Ok);
        box.exec();
        return 0;
    }

    rq70::UpdaterModul state;
    rq70::MainForm mainForm(state, QCoreApplication::applicationDirPath());
    mainForm.Form_Load();
    mainForm.show();
    return app.exec();
}
