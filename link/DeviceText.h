#pragma once

#include <QByteArray>
#include <QString>

namespace rq70 {

// The device sends its identification text one byte per character in the Windows-1252 code page.
QString DecodeDeviceText(const QByteArray& bytes);

} // namespace rq70
