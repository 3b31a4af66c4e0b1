// The board bench's load generator, a process of its own: `board` is one browser with the board
// open, `crowd` many stream clients and timed requests. It runs until "stop" (or the end of its
// standard input), lets what it asked be answered, and prints its report as one JSON line.
//   bench_board_load --url URL (--board | --crowd) [--slots N] [--records-at-least N] [--streams N]
//                    [--records-per-second N] [--states-per-second N] [--seed N]

#include "BoardLoad.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace {

constexpr int WindDownMs = 20000;

double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"url", "The board's address.", "URL"},
                       {"board", "One browser with the board open."},
                       {"crowd", "Stream clients and timed requests."},
                       {"slots", "The station's slots.", "N", "8"},
                       {"records-at-least", "Records the record holds at least.", "N", "0"},
                       {"streams", "Stream clients of the crowd.", "N", "100"},
                       {"records-per-second", "Requests to /api/records.", "N", "50"},
                       {"states-per-second", "Requests to /api/state.", "N", "10"},
                       {"seed", "Draws the crowd's record queries.", "N", "1"}});
    parser.process(app);
    boardload::LoadSettings settings;
    settings.board = QUrl(parser.value("url"));
    settings.slotCount = parser.value("slots").toInt();
    settings.recordsAtLeast = parser.value("records-at-least").toLongLong();
    settings.streams = parser.value("streams").toInt();
    settings.recordsPerSecond = parser.value("records-per-second").toInt();
    settings.statesPerSecond = parser.value("states-per-second").toInt();
    settings.seed = parser.value("seed").toULongLong();
    if (!settings.board.isValid() || settings.board.port() <= 0 ||
        parser.isSet("board") == parser.isSet("crowd")) {
        std::fprintf(stderr, "usage: bench_board_load --url URL (--board | --crowd) [options]\n");
        return 2;
    }

    std::unique_ptr<boardload::Visitor> visitor;
    std::unique_ptr<boardload::Crowd> crowd;
    std::function<void()> stop;
    std::function<bool()> quiet;
    std::function<QJsonObject()> report;
    // The end: what is under way is answered and the streams closed (or the wind-down's time is
    // up), then the report, once.
    QTimer windDown;
    windDown.setSingleShot(true);
    bool stopping = false;
    bool finished = false;
    const auto finish = [&] {
        if (finished)
            return;
        finished = true;
        windDown.stop();
        QJsonObject json = report();
        json.insert("cpu_s", OwnCpuSeconds());
        json.insert("wound_down", quiet());
        std::printf("%s\n", QJsonDocument(json).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        app.quit();
    };
    QObject::connect(&windDown, &QTimer::timeout, &app, finish);
    const auto changed = [&] {
        if (stopping && quiet())
            finish();
    };
    if (parser.isSet("board")) {
        visitor = std::make_unique<boardload::Visitor>(settings);
        visitor->onChange = changed;
        stop = [&] { visitor->Stop(); };
        quiet = [&] { return visitor->Quiet(); };
        report = [&] { return visitor->Report(); };
    } else {
        crowd = std::make_unique<boardload::Crowd>(settings);
        crowd->onChange = changed;
        stop = [&] { crowd->Stop(); };
        quiet = [&] { return crowd->Quiet(); };
        report = [&] { return crowd->Report(); };
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[64];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (stopping || (got > 0 && !QByteArray(buffer, int(got)).contains("stop")))
            return;
        stopping = true;
        input.setEnabled(false);
        stop();
        windDown.start(WindDownMs);
        changed();
    });
    QTimer::singleShot(0, &app, [&] {
        if (visitor)
            visitor->Start();
        else
            crowd->Start();
    });
    return app.exec();
}
