#pragma once

// The updater's main window started as the program starts it, in a program folder of its own with
// a port folder that RQ70_PORT_DIR points at.

#include "app/MainForm.h"
#include "image/ScrambledFile.h"
#include "ui_MainForm.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <string>

inline void WriteUpdateFile(const QString& path, const std::string& hexText) {
    std::string bytes = hexText;
    rq70::ApplyScrambleKey(bytes);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(bytes.data(), qint64(bytes.size()));
}

// A program folder, a port folder and the updater's main window, started as the program does.
struct App {
    int replyTimeoutMs = rq70::SerialLink::ReplyTimeoutMs;
    QTemporaryDir programFolder;
    QTemporaryDir portFolder;
    rq70::UpdaterModul state;
    std::unique_ptr<rq70::MainForm> form;

    App() { qputenv("RQ70_PORT_DIR", portFolder.path().toLocal8Bit()); }
    ~App() { qunsetenv("RQ70_PORT_DIR"); }

    QString InFolder(const QString& name) const { return QDir(programFolder.path()).filePath(name); }
    void AddPortEntry(int n) const {
        QFile::link("/dev/null", QDir(portFolder.path()).filePath(QStringLiteral("COM%1").arg(n)));
    }
    void CopySampleUpdateFile() const { QFile::copy(RQ70_SAMPLE_UPDATE_FILE, InFolder("RQ70-DEMO.KRV")); }
    void Start() {
        form = std::make_unique<rq70::MainForm>(state, programFolder.path(), replyTimeoutMs);
        form->Form_Load();
        form->show();
    }
    Ui::MainForm* ui() const { return form->ui; }
};
