#pragma once

#include "flash/ScreenOutput.h"

#include <QElapsedTimer>
#include <QList>
#include <QTimer>

#include <functional>

namespace rq70::flash {

// A piece of a line on a live screen: its text, and the colour it shows in where the terminal has
// colour.
struct ShownText {
    enum Colour { NoColour, Green, Red };
    QString text;
    Colour colour = NoColour;
};
using ShownLine = QList<ShownText>;

// The part of a screen on a terminal that is drawn again in place: a block of lines, each cut to
// the terminal's width (a line that wrapped would make moving up by lines land in the wrong
// place), drawn at most every 100 ms unless a change must show at once, and every second by
// itself, so that elapsed times move on while a device sits in a long wait. Every text goes
// through the terminal sanitizer; the block adds only its own cursor and colour codes.
class LiveBlock {
public:
    // `lines` gives the block's lines as they are now, each time it is drawn.
    LiveBlock(ScreenOutput& output, bool colour, std::function<QList<ShownLine>()> lines);

    // Draws the block and keeps it moving.
    void Start();
    void Stop();
    // Draws it now, or at the next chance within 100 ms unless `force`.
    void Draw(bool force);
    // Something else went onto the screen below the block (a note on stderr): the next drawing
    // starts afresh below it instead of over it.
    void Forget();
    // A line printed once above the block, cut to the width like the block's lines.
    void PrintAbove(const ShownLine& line);

private:
    int Width() const;
    QByteArray Fitted(const ShownLine& line, int width) const;

    ScreenOutput& output_;
    const bool colour_;
    const std::function<QList<ShownLine>()> lines_;
    QElapsedTimer sinceDrawn_;
    QTimer ticker_;
    int drawnRows_ = 0;
    int drawnWidth_ = 0;
};

// The time an update has left at `percent` of its bytes after `elapsedMs`, in ms, or -1 when there
// is no telling yet (or nothing left to tell): the line's speed makes the bytes its time.
qint64 MsLeft(qint64 elapsedMs, int percent);
// The same on the clock ("0:42"), or "".
QString TimeLeft(qint64 elapsedMs, int percent);

} // namespace rq70::flash
