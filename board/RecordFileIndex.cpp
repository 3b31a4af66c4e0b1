// The board's index of the station's record file: a page read from its own lines, not from the
// whole file.

#include "board/RecordFileIndex.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

#include <sys/stat.h>

namespace rq70::board {

namespace {

constexpr qint64 ChunkBytes = 1 << 20;
// A line without the key (or with another type) has no shift to match.
constexpr qint32 NoText = -1;

QString StringOf(const QJsonObject& line, const char* key) {
    return line.value(QLatin1String(key)).toString();
}

} // namespace

RecordFileIndex::RecordFileIndex(QString path) : path_(std::move(path)) {}

RecordPage RecordFileIndex::Page(const RecordFilter& filter, int limit, qint64 offset) {
    const bool indexed = filter.station.isEmpty() && filter.verdict.isEmpty() &&
                         filter.identification.isEmpty() && filter.fileSha256.isEmpty() &&
                         !filter.since.isValid() && !filter.until.isValid();
    if (!indexed)
        return ReadUpdateRecordPage(path_, filter, limit, offset);

    QMutexLocker lock(&mutex_);
    RecordPage page;
    page.error = Refresh();
    if (!page.error.isEmpty())
        return page;

    // The shift is compared as written; a shift no line holds matches nothing.
    constexpr qint32 AnyShift = -2;
    constexpr qint32 UnknownShift = -3;
    const qint32 shift = filter.shift.isEmpty() ? AnyShift : textIndex_.value(filter.shift, UnknownShift);
    const std::vector<bool> holds = filter.text.isEmpty() ? std::vector<bool>() : TextsHolding(filter.text);
    const auto held = [&holds](qint32 text) { return text >= 0 && holds[std::size_t(text)]; };
    const auto matches = [&](const Line& line) {
        if (shift != AnyShift && line.shift != shift)
            return false;
        return holds.empty() || held(line.identification) || held(line.port) || held(line.verdict) ||
               held(line.station) || held(line.fileName);
    };

    std::vector<const Line*> chosen;
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line) {
        if (!matches(*line))
            continue;
        if (page.total >= offset && qint64(chosen.size()) < limit)
            chosen.push_back(&*line);
        ++page.total;
    }
    if (chosen.empty())
        return page;

    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        page.error = QStringLiteral("cannot open %1: %2").arg(path_, file.errorString());
        return page;
    }
    for (const Line* line : chosen) {
        if (!file.seek(line->offset))
            break;
        const QJsonDocument document = QJsonDocument::fromJson(file.read(line->length));
        // A file replaced since the look gives other bytes here: they are no record of this page.
        if (document.isObject() && filter.Matches(document.object()))
            page.records.append(document.object());
    }
    if (file.error() != QFileDevice::NoError)
        page.error = QStringLiteral("cannot read %1: %2").arg(path_, file.errorString());
    return page;
}

QString RecordFileIndex::Refresh() {
    struct stat status {};
    if (::stat(QFile::encodeName(path_).constData(), &status) != 0) {
        // No record yet (or not any more): no records.
        Restart();
        return {};
    }
    if (quint64(status.st_dev) != device_ || quint64(status.st_ino) != inode_ ||
        status.st_size < indexedBytes_) {
        Restart();
        device_ = status.st_dev;
        inode_ = status.st_ino;
    }
    if (status.st_size == indexedBytes_)
        return {};

    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open %1: %2").arg(path_, file.errorString());
    if (!file.seek(indexedBytes_))
        return QStringLiteral("cannot read %1: %2").arg(path_, file.errorString());

    // Whole lines only: a line still being written is read again at the next look.
    qint64 chunkStart = indexedBytes_;
    qint64 lineStart = indexedBytes_;
    QByteArray pending;
    bool overlong = false; // the line under way is longer than any record and is passed over
    for (QByteArray chunk = file.read(ChunkBytes); !chunk.isEmpty(); chunk = file.read(ChunkBytes)) {
        qsizetype from = 0;
        for (qsizetype newline = chunk.indexOf('\n'); newline >= 0; newline = chunk.indexOf('\n', from)) {
            if (!overlong) {
                pending.append(chunk.constData() + from, newline - from);
                if (pending.size() <= MaxRecordLineBytes) {
                    const QJsonDocument document = QJsonDocument::fromJson(pending);
                    if (document.isObject()) {
                        const QJsonObject record = document.object();
                        const QJsonValue shift = record.value("shift");
                        lines_.push_back(
                            {lineStart, qint32(pending.size()),
                             shift.isString() ? Text(shift.toString()) : NoText,
                             Text(StringOf(record, "identification").toCaseFolded()),
                             Text(StringOf(record, "port").toCaseFolded()),
                             Text(StringOf(record, "verdict").toCaseFolded()),
                             Text(StringOf(record, "station").toCaseFolded()),
                             Text(UpdateFileName(StringOf(record, "update_file")).toCaseFolded())});
                    }
                }
            }
            pending.clear();
            overlong = false;
            from = newline + 1;
            lineStart = chunkStart + from;
        }
        if (!overlong) {
            pending.append(chunk.constData() + from, chunk.size() - from);
            if (pending.size() > MaxRecordLineBytes) {
                overlong = true;
                pending.clear();
            }
        }
        chunkStart += chunk.size();
    }
    indexedBytes_ = lineStart;
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("cannot read %1: %2").arg(path_, file.errorString());
    return {};
}

void RecordFileIndex::Restart() {
    std::vector<Line>().swap(lines_);
    std::vector<QString>().swap(texts_);
    textIndex_ = {};
    indexedBytes_ = 0;
}

qint32 RecordFileIndex::Text(const QString& text) {
    const auto known = textIndex_.constFind(text);
    if (known != textIndex_.constEnd())
        return known.value();
    const qint32 index = qint32(texts_.size());
    texts_.push_back(text);
    textIndex_.insert(text, index);
    return index;
}

// Which texts hold `text`, whatever its case: the case-folded texts are searched for it folded too.
std::vector<bool> RecordFileIndex::TextsHolding(const QString& text) const {
    const QString folded = text.toCaseFolded();
    std::vector<bool> holds(texts_.size());
    for (std::size_t i = 0; i < texts_.size(); ++i)
        holds[i] = texts_[i].contains(folded);
    return holds;
}

} // namespace rq70::board
