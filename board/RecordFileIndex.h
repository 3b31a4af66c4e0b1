#pragma once

#include "record/RecordHistory.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

#include <vector>

namespace rq70::board {

// The station's record file as the board pages through it. Each line's place in the file and the
// texts the board filters by are kept in memory, and each look reads only what was appended since
// the last one (a file that shrank or was replaced is read again from the top); a page then reads
// just its own lines back from the file. So a request costs the page, not the whole record,
// however long the record has grown. Texts are kept once however many lines share them, so a line
// costs some forty bytes.
//
// Page() may be called from several threads; the calls take turns.
class RecordFileIndex {
public:
    explicit RecordFileIndex(QString path);

    // The same as ReadUpdateRecordPage(path, filter, limit, offset). Only `shift` and `text` are
    // looked up in the index; a filter with any other field set reads the whole file.
    RecordPage Page(const RecordFilter& filter, int limit, qint64 offset);

private:
    struct Line {
        qint64 offset = 0;
        qint32 length = 0;
        // Indexes into texts_: the shift as written, and the searched texts case-folded.
        qint32 shift = 0;
        qint32 identification = 0;
        qint32 port = 0;
        qint32 verdict = 0;
        qint32 station = 0;
        qint32 fileName = 0;
    };

    // Reads what was appended since the last look; "" or what went wrong.
    QString Refresh();
    void Restart();
    qint32 Text(const QString& text);
    std::vector<bool> TextsHolding(const QString& text) const;

    const QString path_;
    QMutex mutex_;
    std::vector<Line> lines_;
    std::vector<QString> texts_;
    QHash<QString, qint32> textIndex_;
    // How far the file has been read (whole lines only), and which file it was.
    qint64 indexedBytes_ = 0;
    quint64 device_ = 0;
    quint64 inode_ = 0;
};

} // namespace rq70::board
