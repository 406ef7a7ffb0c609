// The transfer's speed in-process: the whole program against the emulated target in real time (the
// target answering from a thread of its own, as a MIDI driver's callback would), with the largest
// image the program takes. Prints one line of figures, `key=value` separated by blanks, for
// run_bench.py's table. `bench_transfer --late MS` has the target answer every record MS late: how long
// a slow target's update takes.
#include <getopt.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/round_trip.h"
#include "midi/port_pair.h"
#include "midi/sysex.h"
#include "protocol/reply_wait.h"
#include "protocol/wire.h"
#include "support/scenario.h"

namespace {

// The image the benchmark sends: records of 256 payload bytes, 65,535 bytes in all.
Bytes benchmarkImage() {
    std::vector<Bytes> records;
    std::size_t size = 0;
    while (size + 260 <= 65535) {
        records.push_back(makeRecordOfLength(260, static_cast<std::uint8_t>(records.size())));
        size += 260;
    }
    records.push_back(makeRecordOfLength(65535 - size, 7));
    return concat(records);
}

// The transport's own round trip, apart from the protocol's pauses: one handshake to the answer.
double medianRoundTripMs() {
    SimScenario scenario;
    scenario.realTime = true;
    simStart(scenario);
    clearReplyMailbox();
    openMidiIn(0);
    openMidiOut(0);
    const double roundTripMs = medianHandshakeMs(200);
    closeMidiIn();
    closeMidiOut();
    simStop();
    return roundTripMs;
}

constexpr char USAGE[] =
    "usage: bench_transfer [--late MS]\n"
    "Sends a 65,535-byte image in-process to the emulated target answering from a thread of its own, and\n"
    "prints one line of figures (key=value) for bench/run_bench.py. --late MS: the target answers every\n"
    "record MS milliseconds late (how long a slow target's update takes).\n";

// The target's lateness from the command line; false (and the usage shown) for anything else.
bool readArguments(int argc, char** argv, unsigned& lateMs) {
    static const option options[] = {{"late", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'}, {}};
    lateMs = 0;
    opterr = 0;
    for (int chosen; (chosen = getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        if (chosen == 'h') {
            std::fputs(USAGE, stdout);
            std::exit(0);
        }
        char* end = nullptr;
        const unsigned long value = chosen == 'l' ? std::strtoul(optarg, &end, 10) : 0;
        if (chosen != 'l' || end == optarg || *end != '\0' || value > 60000) {
            std::fputs(USAGE, stderr);
            return false;
        }
        lateMs = static_cast<unsigned>(value);
    }
    if (optind == argc) return true;
    std::fputs(USAGE, stderr);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned lateMs = 0;
    if (!readArguments(argc, argv, lateMs)) return 2;
    const Bytes image = benchmarkImage();
    const double roundTripMs = medianRoundTripMs();

    ScratchFolder folder;
    writeImageText("ZENTRAVOX_bench.led", image);
    SimScenario scenario;
    scenario.realTime = true;
    if (lateMs > 0) scenario.target.onRecord = [lateMs](int, int) { return TargetAnswer{TARGET_CHECKSUM, lateMs}; };
    const auto start = std::chrono::steady_clock::now();
    const std::string transcript = runUpdateWith(scenario);
    const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Where the time goes, from the world's log: the gaps between the data messages of one record
    // (the 1 ms pause and the send), and the gap from a record's last message to the next record's
    // first (the pause, the reply's wait and the progress line).
    long dataMessages = 0;
    double pauseMsTotal = 0;
    long pauses = 0;
    double replyWaitMsTotal = 0;
    long replyWaits = 0;
    std::uint64_t lastDataUs = 0;
    bool replyArrived = false;
    for (const SimEvent& event : simEvents()) {
        if (event.kind == SIM_DELIVERED) replyArrived = true;
        if (event.kind != SIM_SENT || event.bytes.size() == identToken.size() + 2) continue;
        ++dataMessages;
        if (lastDataUs != 0) {
            const double gapMs = (event.timeUs - lastDataUs) / 1000.0;
            if (replyArrived) {
                replyWaitMsTotal += gapMs - DATA_MESSAGE_PAUSE_MS;
                ++replyWaits;
            } else {
                pauseMsTotal += gapMs;
                ++pauses;
            }
        }
        replyArrived = false;
        lastDataUs = event.timeUs;
    }
    const int records = simTargetSnapshot().recordsAccepted;
    const bool ok = transcript.find("Target update successfully!") != std::string::npos && simFlash() == image &&
                    records == static_cast<int>(simTargetSnapshot().sendings.size());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    // The floor: one 1 ms pause per data message, plus one transport round trip per record.
    const double floorS = (dataMessages * 1.0 + records * roundTripMs) / 1000.0;
    std::printf("mode=in-process late_ms=%u ok=%d bytes=%zu messages=%ld records=%d wall_s=%.3f floor_s=%.3f ratio=%.3f "
                "reply_wait_ms=%.3f pause_ms=%.3f round_trip_ms=%.3f peak_rss_kib=%ld\n",
                lateMs, ok ? 1 : 0, image.size(), dataMessages, records, wallS, floorS, wallS / floorS,
                replyWaits > 0 ? replyWaitMsTotal / replyWaits : 0.0, pauses > 0 ? pauseMsTotal / pauses : 0.0,
                roundTripMs, usage.ru_maxrss);
    return ok ? 0 : 1;
}
