#include "flash/DeviceSearch.h"

#include "flash/Console.h"
#include "flash/FlashCommands.h"
#include "link/DetectionView.h"

namespace rq70::flash {

namespace {

// The search's window, without a window: only its warnings about ports that another program
// holds or that the user may not open are worth telling.
class QuietDetectionView : public DetectionView {
public:
    void ShowDetectionWindow() override {}
    void SetLines(const QString&, const QString&) override {}
    void ShowAbortButton() override {}
    void ShowOKButton() override {}
    void SetMainOKEnabled(bool) override {}
    void SelectPortEntry(const QString&) override {}
    void ShowPortWarning(const QString& description) override { Complain(description); }
};

} // namespace

QString IdentificationLost(const QString& port) {
    return QStringLiteral("the device on %1 went away while its identification was read: no device "
                          "found (check the cable or adapter, then try again)")
        .arg(port);
}

std::optional<SearchResult> Search(UpdaterModul& state, InterruptSignal& interrupt) {
    // A search writes nothing to a device: any signal stops it.
    const QMetaObject::Connection stop = QObject::connect(&interrupt, &InterruptSignal::Interrupted,
                                                          [&state] { state.AbortRequested = true; });
    QuietDetectionView view;
    state.link.ApplyLineSettings();
    const SearchResult result = SearchForDevice(state.link, state.AbortRequested, state.running, view);
    state.link.SetMonitorTimer(false);
    QObject::disconnect(stop);
    if (result.outcome == SearchResult::Found && !result.identification) {
        Complain(IdentificationLost(state.link.Port().Name()));
        return std::nullopt;
    }
    if (result.outcome != SearchResult::Found) {
        Complain(state.AbortRequested
                     ? QStringLiteral("interrupted")
                     : QStringLiteral("no device answered on COM1 to COM%1").arg(LastSearchedPort));
        return std::nullopt;
    }
    return result;
}

int NothingFoundStatus(const UpdaterModul& state) {
    return state.AbortRequested ? ExitUpdateFailed : ExitNoDevice;
}

} // namespace rq70::flash
