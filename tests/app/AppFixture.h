#pragma once

// The updater's main window started as the program starts it, in a program folder of its own with
// a port folder that RQ70_PORT_DIR points at.

#include "MemoryDifference.h"
#include "SimulatedDevice.h"

#include "app/MainForm.h"
#include "image/ScrambledFile.h"
#include "ui_MainForm.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
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

inline constexpr int PatternLastWord = 511;

// Program words 256..511 and every EEPROM byte hold values that differ from the erased ones, so a
// device shows plainly how far a run came.
inline std::string PatternUpdateHex() {
    const auto hexByte = [](int value) {
        return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    };
    QString hex;
    for (int word = 256; word <= PatternLastWord; word += 8) {
        hex += ":10" + hexByte(word * 2 >> 8) + hexByte(word * 2) + "00";
        for (int j = 0; j < 8; ++j)
            hex += hexByte(word + j) + hexByte(0x10 + (word + j) / 256);
        hex += "00\r\n";
    }
    hex += ":020000040001F9\r\n";
    for (int address = 0; address < rq70::EepromByteCount; address += 8) {
        hex += ":10" + hexByte((0xE000 + address * 2) >> 8) + hexByte(address * 2) + "00";
        for (int j = 0; j < 8; ++j)
            hex += hexByte(address + j) + "00";
        hex += "00\r\n";
    }
    return (hex + ":00000001FF\r\n").toStdString();
}

// A program folder, a port folder and the updater's main window, started as the program does.
struct App {
    int replyTimeoutMs = rq70::SerialLink::ReplyTimeoutMs;
    QTemporaryDir programFolder;
    QTemporaryDir portFolder;
    rq70::UpdaterModul state;
    std::unique_ptr<rq70::MainForm> form;

    // Updates are recorded here, not in the user's own record.
    QString recordPath = QDir(portFolder.path()).filePath("updates.jsonl");

    App() {
        qputenv("RQ70_PORT_DIR", portFolder.path().toLocal8Bit());
        qputenv("RQ70_UPDATE_RECORD", recordPath.toLocal8Bit());
    }
    ~App() {
        qunsetenv("RQ70_PORT_DIR");
        qunsetenv("RQ70_UPDATE_RECORD");
    }

    QString InFolder(const QString& name) const { return QDir(programFolder.path()).filePath(name); }
    void AddPortEntry(int n) const {
        QFile::link("/dev/null", QDir(portFolder.path()).filePath(QStringLiteral("COM%1").arg(n)));
    }
    void CopySampleUpdateFile() const { QFile::copy(RQ70_SAMPLE_UPDATE_FILE, InFolder("RQ70-DEMO.KRV")); }
    // `namedFile`: the update file named on the command line.
    void Start(const QString& namedFile = {}) {
        form = std::make_unique<rq70::MainForm>(state, programFolder.path(), replyTimeoutMs);
        if (!namedFile.isEmpty())
            form->NameUpdateFile(namedFile);
        form->Form_Load();
        form->show();
    }
    Ui::MainForm* ui() const { return form->ui; }
};

// Simulated devices on an app's port folder.
struct Devices {
    std::vector<std::unique_ptr<SimulatedDevice>> list;
    SimulatedDevice& Add(const App& app, int n, const QStringList& options = {}) {
        list.push_back(std::make_unique<SimulatedDevice>());
        if (!list.back()->Start(n, options, app.portFolder.path()))
            qFatal("simulator on COM%d did not start", n);
        return *list.back();
    }
};
