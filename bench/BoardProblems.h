#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>

#include <utility>

namespace boardload {

// The first few distinct problems the load met, each with how often it came.
struct ProblemList {
    static constexpr int Kept = 5;
    QList<std::pair<QString, int>> entries;

    void Add(const QString& text, int times = 1) {
        for (auto& entry : entries) {
            if (entry.first == text) {
                entry.second += times;
                return;
            }
        }
        if (entries.size() < Kept)
            entries.append({text, times});
    }
    void Add(const ProblemList& other) {
        for (const auto& [text, times] : other.entries)
            Add(text, times);
    }
    // "text" once, "text (x N)" for more.
    QJsonArray Json() const {
        QJsonArray list;
        for (const auto& [text, times] : entries)
            list.append(times == 1 ? text : QStringLiteral("%1 (x%2)").arg(text).arg(times));
        return list;
    }
};

} // namespace boardload
