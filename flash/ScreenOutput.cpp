#include "flash/ScreenOutput.h"

#include "common/TerminalText.h"

#include <QJsonDocument>

#include <sys/ioctl.h>

namespace rq70::flash {

void ScreenOutput::Write(const QByteArray& bytes) {
    if (gone_)
        return;
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out_);
    if (std::fflush(out_) != 0 || std::ferror(out_))
        gone_ = true;
}

void ScreenOutput::Print(const QString& text) {
    Write(TerminalSafe(text).toUtf8() + '\n');
}

void ScreenOutput::PrintJson(const QJsonObject& object) {
    Write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

int ScreenOutput::Width() const {
    winsize size{};
    if (::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace rq70::flash
