#pragma once

#include <QString>

namespace rq70 {

// What the port search shows and touches: its window (AutoDetectForm, with two lines and the
// Abort and OK buttons in one place), the main window's OK button and its port list.
class DetectionView {
public:
    virtual ~DetectionView() = default;

    // Loads and shows the search window, not modal: the main window stays usable.
    virtual void ShowDetectionWindow() = 0;
    virtual void SetLines(const QString& label1, const QString& label2) = 0;
    // Abort while searching, OK once the search has ended; never both.
    virtual void ShowAbortButton() = 0;
    virtual void ShowOKButton() = 0;

    virtual void SetMainOKEnabled(bool enabled) = 0;
    // Selects every entry of the port list that reads `name`, each selection running the list's
    // click handler.
    virtual void SelectPortEntry(const QString& name) = 0;

    // The modal "Fehlermeldung" warning for a port the search could not open.
    virtual void ShowPortWarning(const QString& description) = 0;
};

} // namespace rq70
