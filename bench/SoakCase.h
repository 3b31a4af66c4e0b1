#pragma once

#include "image/FirmwareImages.h"
#include "update/UpdateProcedure.h"

#include <QString>
#include <QStringList>

#include <random>

// One run of the soak: what the update file holds, which fault the simulated device has, and what
// the updater must report for it.
namespace soak {

// What a run must end in, worked out from the fault and the update file alone.
struct Expectation {
    bool success = true;
    // For a failure: where the run stops, and the word it names (-1 for none).
    rq70::UpdatePhase phase = rq70::UpdatePhase::None;
    int word = -1;
    // The verify message the user must see, or "" for none.
    QString verifyMessage;
    // For a success: the texts the result may show as the device's identification.
    QStringList identifications;
};

// What a face of the updater reported.
struct Observation {
    // The run did not get as far as a verdict, or the face broke a rule of its own; says why.
    QString problem;
    bool success = false;
    rq70::UpdatePhase phase = rq70::UpdatePhase::None;
    int word = -1;
    QStringList verifyMessages;
    QString identification;
};

// The update's write blocks: 256, 260, ... up to the last word the file filled.
struct Blocks {
    int count = 0;
    int last = -1;
    explicit Blocks(int lastWord);
    // The written block that holds `word`, or -1.
    int Holding(int word) const;
};

// The first word of block `block` whose echo no longer matches once byte `index` (0..7) of it is
// left out: the later bytes move up one place, and the last one is missing.
int FirstWordOffByDrop(const rq70::FirmwareImages& images, int block, int index);

// The message the user sees when the echo of `word` differs.
QString VerifyMessage(int word);

struct SoakCase {
    rq70::FirmwareImages images;
    // The file fills program words 0..lastWord (so the loader's highest word is lastWord).
    int lastWord = 0;
    // How the fault reads in a report, and the simulator's options for it ("none": no fault).
    QString fault;
    QStringList deviceOptions;
    int replyTimeoutMs = 0;
    Expectation expect;
};

// Draws the update file's extent and contents and one of the simulator's faults (or none).
SoakCase DrawCase(std::mt19937_64& random);

// "" when the observation is what the expectation allows, else what differs.
QString Mismatch(const Expectation& expect, const Observation& seen);

} // namespace soak
