#include "common/TerminalText.h"

namespace rq70 {

namespace {

bool SteersTerminal(QChar c) {
    const char16_t u = c.unicode();
    return c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029 ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

} // namespace

QString TerminalSafe(QString text) {
    for (QChar& c : text) {
        if (SteersTerminal(c))
            c = u'?';
    }
    return text;
}

std::string TerminalSafeUtf8(std::string_view text) {
    return TerminalSafe(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))).toStdString();
}

} // namespace rq70
