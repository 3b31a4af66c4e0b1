#include "SoakFaces.h"

#include "MessageBoxAnswerer.h"

#include "app/MainForm.h"
#include "flash/DeviceRun.h"
#include "ui_MainForm.h"
#include "ui_UpdatingCompleteForm.h"
#include "record/RecordFile.h"
#include "record/RecordHistory.h"

#include <QEventLoop>
#include <QThread>

namespace soak {

using namespace rq70;

namespace {

UpdatePhase PhaseNamed(const QString& name) {
    for (const UpdatePhase phase : {UpdatePhase::Erase, UpdatePhase::Program, UpdatePhase::Eeprom}) {
        if (PhaseName(phase) == name)
            return phase;
    }
    return UpdatePhase::None;
}

} // namespace

Observation UpdateThroughWindows(const QString& programFolder, int lastWord, int replyTimeoutMs) {
    Observation seen;
    // As main() starts the program: one shared state, the main window loaded and shown.
    UpdaterModul state;
    MainForm form(state, programFolder, replyTimeoutMs);
    form.Form_Load();
    form.show();
    if (state.images.HighestProgramWord != lastWord) {
        seen.problem =
            QStringLiteral("the update file loaded up to word %1").arg(state.images.HighestProgramWord);
        return seen;
    }
    const int entry = form.ui->Combo1->findText(QStringLiteral("COM1"));
    if (entry < 0) {
        seen.problem = QStringLiteral("the port list has no COM1");
        return seen;
    }
    form.ui->Combo1->setCurrentIndex(entry);
    emit form.ui->Combo1->activated(entry);

    MessageBoxAnswerer answerer;
    // The click returns once the run has ended in the result window.
    form.ui->OK->click();
    for (const MessageBoxAnswerer::Box& box : answerer.boxes) {
        if (box.title != QStringLiteral("Uploader-Error")) {
            seen.problem = QStringLiteral("message box \"%1\": %2").arg(box.title, box.text);
            return seen;
        }
        seen.verifyMessages << box.text;
    }
    UpdatingCompleteForm* result = form.UpdateWindows().ResultWindow();
    if (!result || !result->isVisible()) {
        seen.problem = QStringLiteral("no result window");
        return seen;
    }
    const QString verdict = result->ui->Label1->text();
    seen.success = verdict == QStringLiteral("The update was successful.");
    if (!seen.success && verdict != QStringLiteral("The update was not successful."))
        seen.problem = QStringLiteral("the result window says \"%1\"").arg(verdict);
    seen.identification = result->ui->Label2->text();

    // The windows show no phase; the update record they wrote names it.
    const RecordHistory history = ReadUpdateRecords(UpdateRecordPath());
    if (history.records.size() != 1) {
        seen.problem = QStringLiteral("%1 update records for one update").arg(history.records.size());
        return seen;
    }
    seen.phase = PhaseNamed(history.records[0].value("failed_phase").toString());
    seen.word = history.records[0].value("failed_word").toInt(-1);

    // The technician closes the result window: that ends the program, the main window included.
    result->ui->OKCmd->click();
    if (form.isVisible())
        seen.problem = QStringLiteral("closing the result window left the main window open");
    return seen;
}

Observation UpdateThroughFlash(const FirmwareImages& images, int replyTimeoutMs) {
    qRegisterMetaType<flash::DeviceEvent>();
    qRegisterMetaType<flash::DeviceOutcome>();
    qRegisterMetaType<OpenResult>();
    Observation seen;

    RunContext context;
    context.program = QStringLiteral("rq70-flash");
    context.highestProgramWord = images.HighestProgramWord;
    flash::DeviceJob job{0,
                         ResolvePortArgument(QStringLiteral("COM1")),
                         images,
                         UpdateRecordPath(),
                         false,
                         context,
                         replyTimeoutMs};
    // A single port: it is the whole run, so the update may start as soon as it is open.
    std::promise<bool> go;
    go.set_value(true);

    QEventLoop loop;
    flash::DeviceOutcome outcome;
    auto* run = new flash::DeviceRun(std::move(job), go.get_future().share());
    auto* thread = new QThread;
    run->moveToThread(thread);
    QObject::connect(thread, &QThread::started, run, &flash::DeviceRun::Run);
    QObject::connect(run, &flash::DeviceRun::Event, &loop, [&](const flash::DeviceEvent& event) {
        if (event.kind == flash::DeviceEvent::VerifyFailed)
            seen.verifyMessages << event.text;
    });
    QObject::connect(run, &flash::DeviceRun::Finished, &loop, [&](const flash::DeviceOutcome& finished) {
        outcome = finished;
        loop.quit();
    });
    thread->start();
    loop.exec();
    thread->quit();
    thread->wait();
    delete run;
    delete thread;

    if (!outcome.ran) {
        seen.problem = QStringLiteral("the update did not run: %1").arg(outcome.open.description);
        return seen;
    }
    if (!outcome.recordWarning.isEmpty())
        seen.problem = QStringLiteral("update record: ") + outcome.recordWarning;
    seen.success = outcome.Succeeded();
    seen.phase = outcome.result.failedPhase;
    seen.word = outcome.result.failedWord;
    seen.identification = outcome.result.identification;
    return seen;
}

} // namespace soak
