#include "KrvCommands.h"

#include "HexCheck.h"

#include "common/AtomicWrite.h"
#include "common/TerminalText.h"
#include "image/HexLoader.h"
#include "image/ScrambledFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <optional>
#include <ostream>

namespace krv {

namespace {

std::string Hex(unsigned value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, value);
    return buffer;
}

std::string Counted(std::size_t count, const std::string& thing) {
    return std::to_string(count) + ' ' + thing + (count == 1 ? "" : "s");
}

std::vector<int> ProgrammedWords(const rq70::FirmwareImages& images) {
    std::vector<int> words;
    for (int address = 0; address < rq70::ProgramWordCount; ++address) {
        if (!images.IsErasedWord(address))
            words.push_back(address);
    }
    return words;
}

std::vector<int> ProgrammedEepromBytes(const rq70::FirmwareImages& images) {
    std::vector<int> bytes;
    for (int address = 0; address < rq70::EepromByteCount; ++address) {
        if (images.EepromByte(address) != rq70::ErasedEepromByte)
            bytes.push_back(address);
    }
    return bytes;
}

// A file's name as a message quotes it: whatever bytes it holds, it cannot steer the terminal.
std::string QuotedPath(const std::string& path) {
    return "'" + rq70::TerminalSafeUtf8(path) + "'";
}

std::optional<std::string> ReadOrReport(const std::string& path, std::ostream& err) {
    rq70::FileContent content = rq70::ReadWholeFile(path);
    if (!content.bytes)
        err << "krv: cannot read " << QuotedPath(path) << ": " << content.error << '\n';
    return std::move(content.bytes);
}

bool WriteOrReport(const std::string& path, std::string_view bytes, std::ostream& err) {
    const std::string error = rq70::WriteFileAtomically(path, bytes);
    if (!error.empty())
        err << "krv: cannot write " << QuotedPath(path) << ": " << error << '\n';
    return error.empty();
}

} // namespace

CrLfText WithCrLfLineEnds(std::string_view text) {
    CrLfText result;
    result.text.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            result.text += "\r\n";
            ++i;
        } else if (c == '\r' || c == '\n') {
            result.text += "\r\n";
            ++result.convertedLineEnds;
        } else {
            result.text += c;
        }
    }
    return result;
}

std::string FormatImagesAsJson(const rq70::FirmwareImages& images, const std::vector<std::string>& messages) {
    QJsonArray program;
    for (const int address : ProgrammedWords(images))
        program.append(QJsonArray{address, images.LowByte(address), images.HighByte(address)});
    QJsonArray eeprom;
    for (int address = 0; address < rq70::EepromByteCount; ++address)
        eeprom.append(images.EepromByte(address));
    // Messages hold the file's bytes; as Latin-1 every byte stays one character in the JSON text.
    QJsonArray shown;
    for (const std::string& message : messages)
        shown.append(QString::fromLatin1(message.data(), static_cast<qsizetype>(message.size())));
    const QJsonObject dump{{QStringLiteral("highest_program_word"), images.HighestProgramWord},
                           {QStringLiteral("program"), program},
                           {QStringLiteral("eeprom"), eeprom},
                           {QStringLiteral("messages"), shown}};
    return QJsonDocument(dump).toJson(QJsonDocument::Indented).toStdString();
}

std::string FormatImagesAsText(const rq70::FirmwareImages& images, const std::vector<std::string>& messages) {
    const std::vector<int> words = ProgrammedWords(images);
    const std::vector<int> eepromBytes = ProgrammedEepromBytes(images);
    const auto highest = static_cast<unsigned>(images.HighestProgramWord);
    std::string text = Counted(words.size(), "program word") + ", highest program word " +
                       std::to_string(highest) + " (" + Hex(highest, 4) + "), " +
                       Counted(eepromBytes.size(), "EEPROM byte") + ", " +
                       Counted(messages.size(), "message") + '\n';
    if (!messages.empty()) {
        text += "\nMessages, in the order the updater shows them:\n";
        for (const std::string& message : messages)
            text += "  " + message + '\n';
    }
    if (!words.empty()) {
        text += "\nProgram words (address: word):\n";
        for (const int address : words)
            text += "  " + Hex(static_cast<unsigned>(address), 4) + ": " +
                    Hex(images.HighByte(address) * 256u + images.LowByte(address), 4) + '\n';
    }
    if (!eepromBytes.empty()) {
        text += "\nEEPROM bytes (address: byte):\n";
        for (const int address : eepromBytes)
            text += "  " + Hex(static_cast<unsigned>(address), 2) + ": " +
                    Hex(images.EepromByte(address), 2) + '\n';
    }
    return text;
}

ExitCode Pack(const std::string& hexPath, const std::string& updatePath, bool force, std::ostream& err) {
    const std::optional<std::string> hex = ReadOrReport(hexPath, err);
    if (!hex)
        return ExitFileError;
    CrLfText converted = WithCrLfLineEnds(*hex);
    const HexCheck check = CheckHexText(converted.text);
    const std::string noDataRecord = QuotedPath(hexPath) +
                                     " holds no data record (a line ':LLAAAA00...'); nothing for the "
                                     "updater to write";
    if (check.dataRecords == 0 && !force) {
        err << "krv: " << noDataRecord << "; --force packs it anyway\n";
        return ExitFileError;
    }
    rq70::ApplyScrambleKey(converted.text);
    if (!WriteOrReport(updatePath, converted.text, err))
        return ExitFileError;
    // Reported only once the file is written, so a failure stays a single line.
    if (converted.convertedLineEnds > 0)
        err << "krv: converted " << converted.convertedLineEnds << " line ends of " << QuotedPath(hexPath)
            << " to CR LF (the updater splits lines only at CR LF)\n";
    if (check.dataRecords == 0)
        err << "krv: warning: " << noDataRecord << '\n';
    for (const std::string& badRecord : check.badRecords)
        err << "krv: warning: " << QuotedPath(hexPath) << ' ' << badRecord << '\n';
    if (check.undescribedBadRecords > 0)
        err << "krv: warning: " << QuotedPath(hexPath) << ": and "
            << Counted(check.undescribedBadRecords, "more record")
            << " with a wrong checksum or malformed data\n";
    return ExitSuccess;
}

ExitCode Unpack(const std::string& updatePath, const std::string& hexPath, std::ostream& err) {
    std::optional<std::string> bytes = ReadOrReport(updatePath, err);
    if (!bytes)
        return ExitFileError;
    rq70::ApplyScrambleKey(*bytes);
    return WriteOrReport(hexPath, *bytes, err) ? ExitSuccess : ExitFileError;
}

ExitCode Dump(const std::string& updatePath, bool asJson, std::ostream& out, std::ostream& err) {
    // Read here rather than through LoadHexFile: the updater reads an unreadable file as empty, but
    // a dump of it would then show an erased device and hide the real problem.
    std::optional<std::string> text = ReadOrReport(updatePath, err);
    if (!text)
        return ExitFileError;
    rq70::ApplyScrambleKey(*text);
    rq70::FirmwareImages images;
    std::vector<std::string> messages;
    rq70::LoadHexText(*text, images,
                      [&messages](const std::string& message) { messages.push_back(message); });
    out << (asJson ? FormatImagesAsJson(images, messages) : FormatImagesAsText(images, messages));
    out.flush();
    if (!out) {
        err << "krv: cannot write the dump to standard output\n";
        return ExitFileError;
    }
    return ExitSuccess;
}

} // namespace krv
