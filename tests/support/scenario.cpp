#include "support/scenario.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "midi/port_pair.h"
#include "update/run_update.h"

const std::string BANNER = "Update V0.5 - Update Zentravox System\n";
const std::string KEY_PROMPT = "Press any key to continue . . .\n";
const std::string OPENED = "OK: File 'ZENTRAVOX.led' is open.\n";
const std::string FOUND =
    "The Update Device is Open successfully:\n"
    "MIDIIN Device: Zentravox In\n"
    "MIDIOUT Device: Zentravox Out\n";
const std::string DONE = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";

ScratchFolder::ScratchFolder() {
    char pattern[] = "/tmp/update-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
}

ScratchFolder::~ScratchFolder() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Bytes makeRecord(const Bytes& payload) {
    const std::size_t lengthField = payload.size() + 2;
    Bytes record{static_cast<std::uint8_t>(lengthField >> 8), static_cast<std::uint8_t>(lengthField)};
    std::uint16_t sum = 0;
    for (std::uint8_t byte : payload) sum = static_cast<std::uint16_t>(sum + byte);
    const std::uint16_t word = static_cast<std::uint16_t>(0x10000 - sum);
    record.insert(record.end(), payload.begin(), payload.end());
    record.push_back(static_cast<std::uint8_t>(word));
    record.push_back(static_cast<std::uint8_t>(word >> 8));
    return record;
}

Bytes makeRecordOfLength(std::size_t recordLength, std::uint8_t seed) {
    Bytes payload(recordLength - 4);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(seed + 37 * i);
    return makeRecord(payload);
}

Bytes concat(const std::vector<Bytes>& records) {
    Bytes all;
    for (const Bytes& record : records) all.insert(all.end(), record.begin(), record.end());
    return all;
}

std::string hexOf(const Bytes& bytes, std::size_t from, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = from; i < from + count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

void writeFile(const std::string& name, const std::string& text) {
    std::ofstream file(name, std::ios::binary);
    file << text;
}

void writeImageText(const std::string& name, const Bytes& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += hexOf(bytes, i, 1);
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? "\r\n" : " ";
    }
    writeFile(name, text);
}

SimScenario targetSays(const std::string& words) {
    std::istringstream split(words);
    std::vector<std::string> list;
    for (std::string word; split >> word;) list.push_back(word);
    SimScenario scenario;
    std::string error;
    if (!parseBehaviourWords(list, scenario.behaviour, error)) throw std::invalid_argument(error);
    return scenario;
}

namespace {
std::string capturePath;
}

std::string consoleSoFar() {
    std::ifstream file(capturePath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string runCaptured(const std::function<void()>& run) {
    std::fflush(stdout);
    char outputPath[] = "/tmp/update-console-XXXXXX";
    const int output = mkstemp(outputPath);
    capturePath = outputPath;
    const int nothing = open("/dev/null", O_RDONLY);
    const int savedOut = dup(STDOUT_FILENO);
    const int savedIn = dup(STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(nothing, STDIN_FILENO);

    run();

    std::fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedIn, STDIN_FILENO);
    close(savedOut);
    close(savedIn);
    close(nothing);
    close(output);
    std::ifstream file(outputPath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::remove(outputPath);
    return text.str();
}

std::string runUpdateCaptured() {
    return runCaptured([] { runUpdate(); });
}

std::string runUpdateWith(const SimScenario& scenario) {
    simStart(scenario);
    // Each run starts as a fresh process would: no port open, nothing in the mailbox.
    clearReplyMailbox();
    std::string transcript = runUpdateCaptured();
    simStop();
    return transcript;
}

std::vector<std::pair<int, Bytes>> messagesSent() {
    std::vector<std::pair<int, Bytes>> sent;
    for (const SimEvent& event : simEvents())
        if (event.kind == SIM_SENT) sent.emplace_back(event.port, event.bytes);
    return sent;
}

std::vector<std::string> dataMessagesSent(int port) {
    std::vector<std::string> texts;
    for (const auto& [to, bytes] : messagesSent()) {
        if (to != port || bytes.size() < 2) continue;
        std::string text(bytes.begin() + 1, bytes.end() - 1);
        if (text == "Hq7:bXw") continue;   // the handshake

        texts.push_back(text);
    }
    return texts;
}

std::uint32_t propertyRuns(std::uint32_t usual) {
    const char* runs = std::getenv("UPDATE_PROPERTY_RUNS");
    return runs != nullptr ? static_cast<std::uint32_t>(std::strtoul(runs, nullptr, 10)) : usual;
}

std::string progressLine(char spinner, int percent) {
    return "\r                        \rTransferring.. " + std::string(1, spinner) + " " + std::to_string(percent) +
           "% done";
}
