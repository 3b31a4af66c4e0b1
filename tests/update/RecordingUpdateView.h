#pragma once

#include "update/UpdateView.h"

#include <QHash>
#include <QList>
#include <QStringList>

#include <functional>

// Writes down everything the update shows, one line per call ("Value 256", "Color 0x00FFFF", ...),
// and lets a test act at a chosen moment (to press Abort, say).
class RecordingUpdateView : public rq70::UpdateView {
public:
    QStringList calls;
    QStringList verifyErrors;
    std::function<void(const QString& phase, int value)> onValue;

    bool ProgressShown() const { return progressShown_; }
    QString Phase() const { return phase_; }
    QString ResultLabel1() const { return result1_; }
    QString ResultLabel2() const { return result2_; }
    // The values shown while `phase` was the caption, in order.
    QList<int> Values(const QString& phase) const { return values_.value(phase); }

    void ShowProgressWindow() override {
        Record("ShowProgressWindow");
        progressShown_ = true;
    }
    void SetProgressLabel1(const QString& text) override { Record("Label1 " + text); }
    void SetProgressLabel2(const QString& text) override {
        Record("Label2 " + text);
        phase_ = text;
    }
    void SetProgressMax(int max) override { Record("Max " + QString::number(max)); }
    void SetProgressValue(int value) override {
        values_[phase_].append(value);
        if (onValue)
            onValue(phase_, value);
    }
    void SetProgressBarColor(quint32 colour) override {
        Record("Color 0x" + QString::number(colour, 16).toUpper().rightJustified(6, QLatin1Char('0')));
    }
    void UnloadProgressWindow() override {
        Record("UnloadProgressWindow");
        progressShown_ = false;
    }
    void ShowVerifyError(const QString& text) override {
        Record("VerifyError " + text);
        verifyErrors << text;
    }
    void ShowResultWindow() override { Record("ShowResultWindow"); }
    void SetResultLabel1(const QString& text) override {
        Record("Result1 " + text);
        result1_ = text;
    }
    void SetResultLabel2(const QString& text) override {
        Record("Result2 " + text);
        result2_ = text;
    }

private:
    void Record(const QString& call) { calls << call; }

    bool progressShown_ = false;
    QString phase_;
    QString result1_;
    QString result2_;
    QHash<QString, QList<int>> values_;
};
