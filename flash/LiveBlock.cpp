#include "flash/LiveBlock.h"

#include "common/TerminalText.h"
#include "flash/OutcomeText.h"

namespace rq70::flash {

namespace {

constexpr int DrawIntervalMs = 100;
constexpr int TickMs = 1000;

// No narrower than this, even on a terminal that says it is: a line must still say something.
constexpr int NarrowestWidth = 20;

const char* ColourCode(ShownText::Colour colour) {
    return colour == ShownText::Green ? "\x1b[1;32m" : "\x1b[1;31m";
}

const char* const EndColour = "\x1b[0m";

} // namespace

LiveBlock::LiveBlock(ScreenOutput& output, bool colour, std::function<QList<ShownLine>()> lines)
    : output_(output), colour_(colour), lines_(std::move(lines)) {
    ticker_.setInterval(TickMs);
    QObject::connect(&ticker_, &QTimer::timeout, [this] { Draw(true); });
}

void LiveBlock::Start() {
    sinceDrawn_.start();
    ticker_.start();
    Draw(true);
}

void LiveBlock::Stop() {
    ticker_.stop();
}

void LiveBlock::Forget() {
    drawnRows_ = 0;
}

int LiveBlock::Width() const {
    // The last column stays free: a terminal that wraps on a full line would move the cursor on.
    return std::max(output_.Width() - 1, NarrowestWidth);
}

QByteArray LiveBlock::Fitted(const ShownLine& line, int width) const {
    QByteArray fitted;
    int room = width;
    for (const ShownText& piece : line) {
        const QString shown = TerminalSafe(piece.text).left(room);
        room -= int(shown.size());
        if (colour_ && piece.colour != ShownText::NoColour && !shown.isEmpty())
            fitted += ColourCode(piece.colour) + shown.toUtf8() + EndColour;
        else
            fitted += shown.toUtf8();
    }
    return fitted;
}

void LiveBlock::PrintAbove(const ShownLine& line) {
    output_.Write(Fitted(line, Width()) + '\n');
}

void LiveBlock::Draw(bool force) {
    if (!force && sinceDrawn_.isValid() && sinceDrawn_.elapsed() < DrawIntervalMs)
        return;
    sinceDrawn_.restart();
    const int width = Width();
    // After the terminal changed its width the lines drawn before may have wrapped: the new ones
    // start below them instead of moving up by a count that no longer holds.
    if (width != drawnWidth_)
        drawnRows_ = 0;
    drawnWidth_ = width;
    const QList<ShownLine> lines = lines_();
    QByteArray text;
    if (drawnRows_ > 0)
        text += "\x1b[" + QByteArray::number(drawnRows_) + 'A';
    for (const ShownLine& line : lines)
        text += "\r\x1b[2K" + Fitted(line, width) + '\n';
    drawnRows_ = int(lines.size());
    output_.Write(text);
}

qint64 MsLeft(qint64 elapsedMs, int percent) {
    return percent > 0 && percent < 100 ? elapsedMs * (100 - percent) / percent : -1;
}

QString TimeLeft(qint64 elapsedMs, int percent) {
    const qint64 left = MsLeft(elapsedMs, percent);
    return left < 0 ? QString() : Clock(left);
}

} // namespace rq70::flash
