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

    // One line for a person, through the terminal sanitizer: whatever a device, a file or the
    // system named goes in, nothing steers the terminal.
    void Print(const QString& text);
    void PrintJson(const QJsonObject& object);
    // Bytes as they are, for the live screen's own cursor and colour codes around text it has made
    // safe.
    void Write(const QByteArray& bytes);
    // Columns of the terminal (80 when it does not say).
    int Width() const;

private:
    std::FILE* const out_;
    bool gone_ = false;
};

} // namespace rq70::flash
