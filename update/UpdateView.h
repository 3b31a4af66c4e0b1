#pragma once

#include <QString>
#include <QtGlobal>

namespace rq70 {

// Fill colours of the progress bar, 0x00BBGGRR.
inline constexpr quint32 EraseBarColor = 0x00FFFF; // yellow
inline constexpr quint32 WriteBarColor = 0xED9564; // cornflower blue

// The phases of a run, in the order they run.
enum class UpdatePhase { None, Erase, Program, Eeprom };

// What the update shows while it runs: the progress window (UpdatingForm), the verify message
// box and the result window (UpdatingCompleteForm). The windows implement it; tests record it.
class UpdateView {
public:
    virtual ~UpdateView() = default;

    // Loads and shows the progress window over the main window; loading it clears the abort flag.
    virtual void ShowProgressWindow() = 0;
    virtual void SetProgressLabel1(const QString& text) = 0;
    virtual void SetProgressLabel2(const QString& text) = 0;
    // A phase begins, just before its caption goes into the second label. The windows show the
    // caption; a view without windows goes by this instead of by the caption's wording.
    virtual void EnterPhase(UpdatePhase phase) { static_cast<void>(phase); }
    virtual void SetProgressMax(int max) = 0;
    virtual void SetProgressValue(int value) = 0;
    virtual void SetProgressBarColor(quint32 colour) = 0;
    virtual void UnloadProgressWindow() = 0;

    // Modal "Uploader-Error" box with an OK button and no icon; returns when it was closed.
    virtual void ShowVerifyError(const QString& text) = 0;

    virtual void ShowResultWindow() = 0;
    virtual void SetResultLabel1(const QString& text) = 0;
    virtual void SetResultLabel2(const QString& text) = 0;
};

} // namespace rq70
