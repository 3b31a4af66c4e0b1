#pragma once

#include <QByteArray>
#include <QString>

namespace rq70 {

// Where programs note the port settings they have changed: the folder RQ70_PORT_NOTE_DIR names;
// else /run/rq70-updater where it exists and this user may write it (the package makes it, for
// the dialout group, so that every user of the ports shares it); else
// $XDG_RUNTIME_DIR/rq70-updater; "" when there is none, and then nothing is noted.
QString SettingNoteFolder();

// A note of a port setting's own value, kept for as long as a program has the setting changed. A
// program that is killed before it can put the value back leaves its note behind; the next program
// to open the port reads it, and puts the port's own value back at its close instead of taking the
// changed value for the port's own. Only one program holds a port at a time (its lock), so only
// the holder reads or writes the port's notes; a note whose writer still runs is left alone all
// the same.
class SettingNote {
public:
    // `setting` names the setting ("rx_trig_bytes"); a note's file is named after it and the
    // device.
    explicit SettingNote(const QString& setting, const QString& folder = SettingNoteFolder());
    ~SettingNote() = default;
    SettingNote(const SettingNote&) = delete;
    SettingNote& operator=(const SettingNote&) = delete;

    // Before the setting of the device `node` is changed: its own value. That is `current`, unless
    // a program that is gone noted that it had changed the setting from another value to
    // `current`. A note of a program that is gone is taken away here either way.
    QByteArray OwnValue(const QString& node, const QByteArray& current);
    // Notes, before the change is made, that the setting of `node` goes from `own` to `changed`.
    void Keep(const QString& node, const QByteArray& own, const QByteArray& changed);
    // The own value is back: the note Keep wrote goes.
    void Drop();

private:
    QString PathFor(const QString& node) const;

    const QString setting_;
    const QString folder_;
    // The note Keep wrote, "" when none.
    QString kept_;
};

} // namespace rq70
