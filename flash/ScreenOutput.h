#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace rq70::flash {

// Where a command's screen goes: stdout, a pipe or a terminal. A reader that went away (a closed
// pipe or terminal) ends the output, never the updates: later writes are dropped.
class ScreenOutput {
public:
    explicit ScreenOutput(std::FILE* out) : out_(out) {}

    void Write(const QByteArray& bytes);
    void Print(const QString& text);
    void PrintJson(const QJsonObject& object);
    // Columns of the terminal (80 when it does not say).
    int Width() const;

private:
    std::FILE* const out_;
    bool gone_ = false;
};

// A message for the user on stderr, which the live lines do not draw over.
void NoteOnStderr(const QString& text);

} // namespace rq70::flash
