#pragma once

#include "app/InfoForm.h"
#include "link/WindowDetectionView.h"
#include "update/UpdateProcedure.h"
#include "record/UpdateRecord.h"
#include "update/UpdaterModul.h"
#include "update/WindowUpdateView.h"

#include <QPointer>
#include <QWidget>

namespace Ui {
class MainForm;
}

namespace rq70 {

// The window layouts are measured for a small dialog font: at this size every design text fits its
// control with the desktop's default font family.
inline constexpr double ApplicationFontPointSize = 7.0;

// The updater's main window: the update-file line, the port list and the buttons that start the
// search and the update. Its load is the program's start-up and its unload the program's end.
class MainForm : public QWidget {
    Q_OBJECT

public:
    // `programFolder` is where the update file is looked for: the executable's own folder, or
    // the working folder for the installed updater.
    // `replyTimeoutMs` is how long the search and the update wait for each reply; only tests
    // shorten it.
    MainForm(UpdaterModul& state, const QString& programFolder,
             int replyTimeoutMs = SerialLink::ReplyTimeoutMs);
    ~MainForm() override;

    Ui::MainForm* const ui;

    // The update file named on the command line: start-up loads it instead of searching the
    // program folder. Call before Form_Load.
    void NameUpdateFile(const QString& path) { namedUpdateFile_ = path; }

    // Start-up, before the window is first shown.
    void Form_Load();
    // Closes every window, the main window last; the program ends with it. While a search or an
    // update is running, that operation is asked to stop and the program ends once it returns.
    void Form_Unload();

    void OK_Click();
    void Cancel_Click();
    void Combo1_Click();
    // The user picked entry `index` of the port list: from the drop-down, the keys, or by typing
    // a listed port's name into its edit field.
    void Combo1_Pick(int index);
    void AutoDetectCmd_Click();
    void Timer2_Timer();
    // What a press of the right mouse button anywhere on the window but the port list does.
    void ShowInfoForm();

    QString UpdateFilePath;
    InfoForm* Info() const { return info_; }
    WindowUpdateView& UpdateWindows() { return updateView_; }
    WindowDetectionView& DetectionWindow() { return detectionView_; }
    // What the connection monitor's latest tick found; shown as the port list's tooltip.
    QString ConnectionStatus() const { return connectionStatus_; }
    // The COM number OK updates: the port the last successful search found (OK then follows the
    // device found there, wherever it is now), unless an entry was picked in the port list after
    // it; with neither, the list's selected entry.
    int UpdatePort() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InitializeUpdater();
    void LoadUpdateFile();
    void LoadNamedUpdateFile();
    // Refuses a file that cannot be read whole, as one too large: it would load as empty.
    void LoadAndShowUpdateFile(const QString& toolTip);
    // Shows why UpdateFilePath is not read, if it is too large to be an update file.
    bool RefuseTooLargeUpdateFile();
    // Red status line, no port list and no search: there is nothing to write.
    void ShowUpdateFileProblem(const QString& status, const QString& toolTip);
    QString UpdateFileToolTip(const std::string& loadedName) const;
    void CloseSecondaryWindows();
    void EndProgramIfAsked();
    void Combo1_TextEntered();
    // Appends the run to the update record; a record that cannot be written is only a warning.
    void RecordUpdate(const UpdateResult& result, const QDateTime& started);
    // A USB adapter that slows every reply down is worth one word to the technician, once.
    void ShowAdapterNoticeOnce();

    UpdaterModul& state_;
    const QString programFolder_;
    QString namedUpdateFile_;
    // Of the bytes the images were loaded from: the record names those, even when the file has been
    // replaced by the time OK is pressed.
    UpdateFileFacts updateFileFacts_;
    const int replyTimeoutMs_;
    WindowUpdateView updateView_;
    WindowDetectionView detectionView_;
    QString connectionStatus_;
    // Set by a successful search and by every pick in the port list, whichever came last; 0 until
    // either happened.
    int updatePort_ = 0;
    QPointer<InfoForm> info_;
    bool endRequested_ = false;
    bool adapterNoticeShown_ = false;
};

} // namespace rq70
