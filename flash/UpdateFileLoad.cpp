#include "flash/UpdateFileLoad.h"

#include "flash/Console.h"
#include "image/HexLoader.h"
#include "image/HexRecordLine.h"
#include "image/ScrambledFile.h"
#include "image/UpdateFileDiscovery.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace rq70::flash {

namespace {

// The path named, or the update file where the windows would look for it; "" when there is none.
QString UpdateFilePath(const QString& given) {
    if (!given.isEmpty())
        return given;
    // Installed in a system folder, it looks in the folder it was started in.
    const std::string folder = UpdateFileFolder(QCoreApplication::applicationDirPath().toStdString(),
                                                QDir::currentPath().toStdString());
    const std::string name = FindUpdateFile(folder, UpdateFilePattern);
    if (name.empty()) {
        Complain(QStringLiteral("no update file %1 in %2; name one: rq70-flash update FILE.KRV --port P")
                     .arg(QString::fromLatin1(UpdateFilePattern),
                          QDir::toNativeSeparators(QString::fromStdString(folder))));
        return {};
    }
    return QString::fromStdString(JoinFolderAndName(folder, name));
}

} // namespace

std::optional<LoadedFile> LoadUpdateFile(const QString& given) {
    const QString path = UpdateFilePath(given);
    if (path.isEmpty())
        return std::nullopt;
    const FileContent content = ReadWholeFile(path.toStdString());
    if (!content.bytes) {
        Complain(QStringLiteral("cannot read the update file '%1': %2")
                     .arg(path, QString::fromStdString(content.error)));
        return std::nullopt;
    }
    std::string text = *content.bytes;
    ApplyScrambleKey(text);
    // The windows would "update" a device from such a file: all 256 EEPROM bytes erased and
    // nothing written. A script gets told instead.
    if (CountDataRecords(text) == 0) {
        Complain(QStringLiteral("the update file '%1' holds no data record: nothing to write (is it an "
                                "update file made with 'krv pack'?)")
                     .arg(path));
        return std::nullopt;
    }
    LoadedFile loaded{QFileInfo(path).absoluteFilePath(), {}, UpdateFileFactsOf(*content.bytes)};
    LoadHexText(text, loaded.images,
                [](const std::string& message) { Complain(QString::fromStdString(message)); });
    return loaded;
}

} // namespace rq70::flash
