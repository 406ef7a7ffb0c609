// The world of one receive fuzz run, decoded from the fuzz input: a small sound image, where the target
// sits among up to 3 x 3 ports, how it answers each handshake and each sending of a record, with what
// delay, and stray messages of any bytes, kind and timing. The layout of the input is decodeCase's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulated/world/sim_world.h"
#include "support/scenario.h"

struct Override {
    int record;
    int sending;
    TargetAnswer answer;
};

struct Case {
    SimScenario scenario;
    std::vector<Bytes> records;   // distinct lengths, so the wire tells them apart
    Bytes image;
    std::vector<TargetAnswer> handshakeAnswers;
    TargetAnswer laterHandshakes;
    std::vector<Override> overrides;
    TargetAnswer otherSendings;
    // What the target's script answered to each whole record it received, in order.
    std::shared_ptr<std::vector<int>> recordAnswers = std::make_shared<std::vector<int>>();
};

Case decodeCase(const std::uint8_t* data, std::size_t size);
// Every answer comes inside the program's wait for it.
bool answersInside(const Case& c);
// The world in a few lines, for a failing case and for reading what a saved input does.
std::string describe(const Case& c);
