#include "app/MainForm.h"

#include "ui_MainForm.h"

#include "app/InfoForm.h"
#include "common/TerminalText.h"
#include "image/HexLoader.h"
#include "image/ScrambledFile.h"
#include "image/UpdateFileDiscovery.h"
#include "link/ComPorts.h"
#include "link/ConnectionMonitor.h"
#include "link/PortSearch.h"
#include "link/WindowFrame.h"
#include "record/RecordFile.h"
#include "update/RunRecord.h"
#include "update/UpdateProcedure.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>

namespace rq70 {

namespace {

// Message boxes that name no title of their own carry the application's.
constexpr const char* ApplicationTitle = "Updater RQ-70";
constexpr int ListedPorts = 10;

void SetTextColor(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

void SetBold(QWidget* widget) {
    QFont font = widget->font();
    font.setBold(true);
    widget->setFont(font);
}

} // namespace

namespace {

// The window's controls exist from the first member on, so the views can be handed them.
Ui::MainForm* SetUpControls(QWidget* window) {
    auto* ui = new Ui::MainForm;
    ui->setupUi(window);
    return ui;
}

} // namespace

MainForm::MainForm(UpdaterModul& state, const QString& programFolder, int replyTimeoutMs)
    : ui(SetUpControls(this)), state_(state), programFolder_(programFolder), replyTimeoutMs_(replyTimeoutMs),
      updateView_(this, state.AbortRequested),
      detectionView_(this, state.AbortRequested, ui->OK, ui->Combo1, [this] { Combo1_Click(); }) {
    SetUpFixedWindow(this, QStringLiteral(":/icons/connector.png"));
    // The main window lives as long as the program; only its close ends it.
    setAttribute(Qt::WA_DeleteOnClose, false);

    connect(ui->OK, &QPushButton::clicked, this, &MainForm::OK_Click);
    connect(ui->Cancel, &QPushButton::clicked, this, &MainForm::Cancel_Click);
    connect(ui->Combo1, &QComboBox::activated, this, &MainForm::Combo1_Pick);
    // The edit field only ever selects a listed port: typed text never becomes an entry.
    ui->Combo1->setInsertPolicy(QComboBox::NoInsert);
    connect(ui->Combo1->lineEdit(), &QLineEdit::editingFinished, this, &MainForm::Combo1_TextEntered);
    connect(ui->AutoDetectCmd, &QPushButton::clicked, this, &MainForm::AutoDetectCmd_Click);
    connect(&state_.link.Timer2, &QTimer::timeout, this, &MainForm::Timer2_Timer);
    updateView_.onResultUnload = [this] { Form_Unload(); };
    // Buttons, even disabled ones, hand the right button to the window instead of keeping it; the
    // port list keeps it to itself.
    for (QWidget* widget : {static_cast<QWidget*>(ui->AutoDetectCmd), static_cast<QWidget*>(ui->OK),
                            static_cast<QWidget*>(ui->Cancel), static_cast<QWidget*>(ui->Combo1)})
        widget->installEventFilter(this);
}

MainForm::~MainForm() {
    delete ui;
}

void MainForm::Form_Load() {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    move(screen.width() / 2 - width() / 2, screen.height() / 2 - height() / 2);
    InitializeUpdater();
    ui->OK->setEnabled(false);
    LoadUpdateFile();
    ui->Label0->setText(QStringLiteral(
        "Connect your Karvo product to an available serial port and specify that port below."));
}

void MainForm::InitializeUpdater() {
    state_.link.ApplyLineSettings();
    for (int n = 1; n <= ListedPorts; ++n) {
        const QString device = ComPortDevicePath(n);
        if (device.isEmpty())
            continue;
        ui->Combo1->addItem(ComPortName(n));
        ui->Combo1->setItemData(ui->Combo1->count() - 1, device, Qt::ToolTipRole);
    }
    if (ui->Combo1->count() > 0) {
        ui->Combo1->setCurrentIndex(0);
        Combo1_Click();
    }
    ui->Label1->setText(QStringLiteral("no HEX-File loaded"));
    state_.images.Clear();
}

void MainForm::LoadUpdateFile() {
    if (!namedUpdateFile_.isEmpty()) {
        LoadNamedUpdateFile();
        return;
    }
    const std::string folder = programFolder_.toStdString();
    const std::string name =
        FindUpdateFile(folder, UpdateFilePattern, [] { QCoreApplication::processEvents(); });
    UpdateFilePath = QString::fromStdString(JoinFolderAndName(folder, name));
    if (!name.empty() && RefuseTooLargeUpdateFile())
        return;
    if (!name.empty() && FileExists(UpdateFilePath.toStdString())) {
        LoadAndShowUpdateFile(UpdateFileToolTip(name));
        return;
    }
    // The status line is all a technician sees; its tooltip says where to put the file.
    ShowUpdateFileProblem(QStringLiteral("Update File not found!"),
                          QStringLiteral("No file %1 in %2")
                              .arg(QString::fromLatin1(UpdateFilePattern),
                                   QDir::toNativeSeparators(QDir(programFolder_).absolutePath())));
}

void MainForm::LoadNamedUpdateFile() {
    const QFileInfo file(namedUpdateFile_);
    UpdateFilePath = file.absoluteFilePath();
    QString problem;
    if (!file.exists())
        problem = QStringLiteral("no such file");
    else if (!file.isFile())
        problem = QStringLiteral("not a file");
    else if (!file.isReadable())
        problem = QStringLiteral("no permission to read it");
    if (problem.isEmpty()) {
        if (!RefuseTooLargeUpdateFile())
            LoadAndShowUpdateFile(QDir::toNativeSeparators(UpdateFilePath));
        return;
    }
    ShowUpdateFileProblem(
        QStringLiteral("Update File not found!"),
        QStringLiteral("Cannot load %1: %2").arg(QDir::toNativeSeparators(UpdateFilePath), problem));
}

bool MainForm::RefuseTooLargeUpdateFile() {
    // Only regular files get this far; one too large to be firmware would stall the start and
    // fill the memory if it were read.
    const FileRefusal refusal = UpdateFileRefusal(UpdateFilePath.toStdString());
    if (refusal.kind != FileRefusal::Kind::TooLarge)
        return false;
    ShowUpdateFileProblem(QStringLiteral("Update File too large!"),
                          QDir::toNativeSeparators(UpdateFilePath) + ": " +
                              QString::fromStdString(refusal.reason));
    return true;
}

void MainForm::LoadAndShowUpdateFile(const QString& toolTip) {
    const HexFileLoad loaded =
        LoadHexFile(UpdateFilePath.toStdString(), state_.images, [this](const std::string& text) {
            QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(ApplicationTitle),
                            QString::fromStdString(text), QMessageBox::Ok, this);
            box.exec();
        });
    if (!loaded.file.bytes) {
        // No permission, a failing disk, a read cut short: the images stay erased, and OK would
        // write 0xFF into every EEPROM byte and call that a success.
        ShowUpdateFileProblem(
            QStringLiteral("Update File cannot be read!"),
            QStringLiteral("Cannot read %1: %2")
                .arg(QDir::toNativeSeparators(UpdateFilePath), QString::fromStdString(loaded.file.error)));
        return;
    }
    updateFileFacts_ = UpdateFileFactsOf(*loaded.file.bytes);
    SetBold(ui->Label1);
    ui->Label1->setText(QString::fromStdString(loaded.status));
    ui->Label1->setToolTip(toolTip);
}

void MainForm::ShowUpdateFileProblem(const QString& status, const QString& toolTip) {
    SetBold(ui->Label1);
    SetTextColor(ui->Label1, QColor(255, 0, 0));
    ui->Label1->setText(status);
    ui->Label1->setToolTip(toolTip);
    ui->Combo1->setEnabled(false);
    ui->AutoDetectCmd->setEnabled(false);
}

QString MainForm::UpdateFileToolTip(const std::string& loadedName) const {
    // The status line shows the path shortened; the tooltip shows it whole, and names any other
    // update file in the folder, which the updater passes over.
    QString tip = QDir::toNativeSeparators(QFileInfo(UpdateFilePath).absoluteFilePath());
    QStringList others;
    for (const std::string& name : FindUpdateFiles(programFolder_.toStdString(), UpdateFilePattern)) {
        if (name != loadedName)
            others << QString::fromStdString(name);
    }
    if (!others.isEmpty())
        tip += QStringLiteral("\nPassed over (only the first by name is loaded): ") + others.join(", ");
    return tip;
}

void MainForm::Combo1_Click() {
    // Choosing a port only allows the update; the port itself is opened when the update starts.
    ui->OK->setEnabled(true);
}

void MainForm::Combo1_Pick(int index) {
    if (index < 0 || index >= ui->Combo1->count())
        return;
    updatePort_ = PortNumberOf(ui->Combo1->itemText(index));
    Combo1_Click();
}

void MainForm::Combo1_TextEntered() {
    QLineEdit* field = ui->Combo1->lineEdit();
    // Leaving the field untouched (a click into it, then elsewhere) is no choice of a port.
    if (!field->isModified())
        return;
    field->setModified(false);
    const int port = PortNumberOf(field->text());
    for (int index = 0; port > 0 && index < ui->Combo1->count(); ++index) {
        if (PortNumberOf(ui->Combo1->itemText(index)) == port) {
            ui->Combo1->setCurrentIndex(index);
            ui->Combo1->setEditText(ui->Combo1->itemText(index));
            Combo1_Pick(index);
            return;
        }
    }
    // Anything else changes nothing; the field shows the selected entry again.
    ui->Combo1->setEditText(ui->Combo1->itemText(ui->Combo1->currentIndex()));
}

int MainForm::UpdatePort() const {
    if (updatePort_ > 0)
        return updatePort_;
    return PortNumberOf(ui->Combo1->itemText(ui->Combo1->currentIndex()));
}

void MainForm::OK_Click() {
    const int port = UpdatePort();
    const QDateTime started = QDateTime::currentDateTimeUtc();
    const UpdateResult result = RunUpdate(state_, updateView_, port, replyTimeoutMs_);
    if (result.outcome == UpdateResult::Succeeded || result.outcome == UpdateResult::Failed)
        RecordUpdate(result, started);
    ShowAdapterNoticeOnce();
    if (result.outcome == UpdateResult::PortNotOpened) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Uploader-Error"),
                        QStringLiteral("The update cannot start: %1 cannot be opened.\n\n%2")
                            .arg(ComPortName(port), result.open.description),
                        QMessageBox::Ok, this);
        box.exec();
    }
    EndProgramIfAsked();
}

void MainForm::RecordUpdate(const UpdateResult& result, const QDateTime& started) {
    RunContext context;
    context.program = QStringLiteral("rq70-updater");
    context.version = QCoreApplication::applicationVersion();
    SetPortOfRun(context, state_.link.Port());
    context.updateFile = UpdateFilePath;
    context.updateFileFacts = updateFileFacts_;
    context.highestProgramWord = state_.images.HighestProgramWord;
    context.started = started;
    context.ended = QDateTime::currentDateTimeUtc();
    // The record is for traceability; a technician's update stands whether or not it was written.
    const QString problem = AppendUpdateRecord(UpdateRecordPath(), RecordOfRun(context, result));
    if (!problem.isEmpty())
        qWarning("rq70-updater: the update record was not written: %s", qPrintable(TerminalSafe(problem)));
}

void MainForm::ShowAdapterNoticeOnce() {
    const QString notice = state_.link.AdapterNotice();
    if (notice.isEmpty() || adapterNoticeShown_ || endRequested_)
        return;
    adapterNoticeShown_ = true;
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(ApplicationTitle), notice, QMessageBox::Ok,
                    this);
    box.exec();
}

void MainForm::AutoDetectCmd_Click() {
    const SearchResult result =
        SearchForDevice(state_.link, state_.AbortRequested, state_.running, detectionView_, replyTimeoutMs_);
    // The device just found is the one to update, even on a port the list does not show; a pick
    // made later in the list overrides it.
    if (result.outcome == SearchResult::Found) {
        updatePort_ = result.port;
        ShowAdapterNoticeOnce();
    }
    EndProgramIfAsked();
}

void MainForm::Timer2_Timer() {
    connectionStatus_ = MonitorTick(state_.link);
    ui->Combo1->setToolTip(ComPortName(state_.link.CommPort()) + QStringLiteral(": ") + connectionStatus_);
}

void MainForm::Cancel_Click() {
    Form_Unload();
}

void MainForm::Form_Unload() {
    close();
}

void MainForm::closeEvent(QCloseEvent* event) {
    if (state_.running != LongOperation::None) {
        // The search or update still has this window's objects on its stack: stop it, put every
        // window away and end once it has returned.
        endRequested_ = true;
        state_.AbortRequested = true;
        updateView_.Detach();
        detectionView_.Detach();
        CloseSecondaryWindows();
        hide();
        event->ignore();
        return;
    }
    CloseSecondaryWindows();
    event->accept();
}

void MainForm::EndProgramIfAsked() {
    if (!endRequested_)
        return;
    close();
    // The window was put away while the procedure still ran, and closing a window that is no
    // longer shown does not end the program: without this it would go on with no window at all.
    QCoreApplication::quit();
}

void MainForm::CloseSecondaryWindows() {
    detectionView_.UnloadWindow();
    updateView_.UnloadProgressWindow();
    updateView_.UnloadResultWindow();
    if (info_)
        info_->close();
}

void MainForm::ShowInfoForm() {
    if (!info_)
        info_ = new InfoForm(this);
    info_->show();
    info_->raise();
    info_->activateWindow();
}

void MainForm::mousePressEvent(QMouseEvent* event) {
    // Labels pass presses on to the window, so this serves the free area and the labels alike.
    if (event->button() == Qt::RightButton)
        ShowInfoForm();
    QWidget::mousePressEvent(event);
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
    const bool rightPress =
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
    if (!rightPress)
        return QWidget::eventFilter(watched, event);
    if (watched != ui->Combo1)
        ShowInfoForm();
    return true;
}

} // namespace rq70
