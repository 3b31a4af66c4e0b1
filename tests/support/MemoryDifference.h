#pragma once

#include "image/FirmwareImages.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Empty when a simulated device's memory dump holds what a complete update of `images` leaves
// behind (the words below 256 untouched); otherwise the first difference.
inline QString MemoryDifference(const QJsonObject& dump, const rq70::FirmwareImages& images) {
    QHash<int, int> words;
    for (const QJsonValue& entry : dump.value("program").toArray()) {
        const QJsonArray word = entry.toArray();
        words.insert(word[0].toInt(), word[1].toInt() | word[2].toInt() << 8);
    }
    for (int address = 0; address < rq70::ProgramWordCount; ++address) {
        const int image = (images.HighByte(address) << 8 | images.LowByte(address)) & 0x3FFF;
        const int expected = address < 256 ? 0x3FFF : image;
        if (words.value(address, 0x3FFF) != expected)
            return QStringLiteral("program word %1: device %2, expected %3")
                .arg(address)
                .arg(words.value(address, 0x3FFF))
                .arg(expected);
    }
    const QJsonArray eeprom = dump.value("eeprom").toArray();
    for (int address = 0; address < rq70::EepromByteCount; ++address) {
        if (eeprom.at(address).toInt(-1) != images.EepromByte(address))
            return QStringLiteral("EEPROM byte %1: device %2, expected %3")
                .arg(address)
                .arg(eeprom.at(address).toInt(-1))
                .arg(images.EepromByte(address));
    }
    return {};
}

// Empty when every program word outside the rows an update of `images` erases (256 up to the row
// holding its highest word) is still erased; otherwise the first one that is not. Words there
// are written by nothing but stray bytes, and no later update would put them right.
inline QString WordOutsideRows(const QJsonObject& dump, const rq70::FirmwareImages& images) {
    const int rowsEnd = (images.HighestProgramWord / 32 + 1) * 32;
    for (const QJsonValue& entry : dump.value("program").toArray()) {
        const QJsonArray word = entry.toArray();
        const int address = word[0].toInt();
        if ((address < 256 || address >= rowsEnd) && (word[1].toInt() | word[2].toInt() << 8) != 0x3FFF)
            return QStringLiteral("program word %1 outside the rows holds %2")
                .arg(address)
                .arg(word[1].toInt() | word[2].toInt() << 8);
    }
    return {};
}
