#include "Dump.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace devsim {

std::string DumpJson(const DeviceCore& device) {
    QJsonArray program;
    for (int address = 0; address < ProgramWordCount; ++address) {
        const std::uint16_t word = device.ProgramWord(address);
        if (word != ErasedWord)
            program.append(QJsonArray{address, word & 0xFF, word >> 8});
    }
    QJsonArray eeprom;
    for (int address = 0; address < EepromByteCount; ++address)
        eeprom.append(device.Eeprom(address));
    QJsonObject commands;
    for (int i = 0; i < CommandCount; ++i) {
        const auto command = static_cast<Command>(i);
        const std::string_view name = CommandName(command);
        commands.insert(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())),
                        device.Counts()[command]);
    }
    const QJsonObject dump{{QStringLiteral("program"), program},
                           {QStringLiteral("eeprom"), eeprom},
                           {QStringLiteral("finish_seen"), device.FinishSeen()},
                           {QStringLiteral("commands"), commands}};
    // Indented: one value per line keeps the dumps of two runs diffable.
    return QJsonDocument(dump).toJson(QJsonDocument::Indented).toStdString();
}

} // namespace devsim
