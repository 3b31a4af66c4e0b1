#pragma once

#include <QtGlobal>

class QProgressBar;

namespace rq70 {

// Fills the bar's chunk with `colour` (0x00BBGGRR, red in the low byte); the background stays
// the style's own.
void SetProgressBarColor(QProgressBar* bar, quint32 colour);

} // namespace rq70
