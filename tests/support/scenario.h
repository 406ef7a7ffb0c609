// Test support: runs the whole program in-process in a scratch folder against the emulated target,
// with its console captured, and builds images record by record.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emulated/world/sim_world.h"

using Bytes = std::vector<std::uint8_t>;

// A scratch folder that is the current directory for the object's life.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

// A sound record around `payload`: length field, payload, checksum word.
Bytes makeRecord(const Bytes& payload);
// A sound record that occupies `recordLength` bytes (at least 4), payload bytes counting up from `seed`.
Bytes makeRecordOfLength(std::size_t recordLength, std::uint8_t seed = 1);
Bytes concat(const std::vector<Bytes>& records);

// `count` bytes from `from` as the upper-case hex text of data messages, written out independently.
std::string hexOf(const Bytes& bytes, std::size_t from, std::size_t count);
// Writes bytes as upper-case hex text, 16 to a line.
void writeImageText(const std::string& name, const Bytes& bytes);
void writeFile(const std::string& name, const std::string& text);

// A world whose target behaves as zentravox-target's options say, e.g. "--refuse 2:20 --delay 700".
SimScenario targetSays(const std::string& words);

// Runs `run` with standard input at end of file and returns everything it printed.
std::string runCaptured(const std::function<void()>& run);
// The whole program, run so.
std::string runUpdateCaptured();
// While runCaptured runs: what has been printed so far and flushed, as a user sees it.
std::string consoleSoFar();
// The same, after starting the emulated world with `scenario`.
std::string runUpdateWith(const SimScenario& scenario);

// The data messages the program sent to output `port`, as text between F0 and F7; handshakes excluded.
std::vector<std::string> dataMessagesSent(int port);
// Every message the program sent, to any output, as (port, bytes).
std::vector<std::pair<int, Bytes>> messagesSent();

// How many worlds a property test draws: `usual`, or UPDATE_PROPERTY_RUNS when set.
std::uint32_t propertyRuns(std::uint32_t usual);

// The expected console text from its pieces.
std::string progressLine(char spinner, int percent);
extern const std::string BANNER;
extern const std::string KEY_PROMPT;
// The lines of a scenario whose image is ZENTRAVOX.led and whose product the emulated world's own pair.
extern const std::string OPENED;
extern const std::string FOUND;
extern const std::string DONE;
