#include "update/ProgressBarColor.h"

#include <QColor>
#include <QProgressBar>

namespace rq70 {

void SetProgressBarColor(QProgressBar* bar, quint32 colour) {
    if (!bar)
        return;
    const QColor fill(int(colour & 0xFF), int(colour >> 8 & 0xFF), int(colour >> 16 & 0xFF));
    bar->setStyleSheet(QStringLiteral("QProgressBar::chunk { background-color: %1; }").arg(fill.name()));
}

} // namespace rq70
