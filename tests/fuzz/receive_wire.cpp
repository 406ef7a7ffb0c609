#include "receive_wire.h"

#include <algorithm>

#include "receive_limits.h"
#include "receive_failure.h"

namespace {

int recordWithLengthField(const Case& c, const std::string& text) {
    for (std::size_t j = 0; j < c.records.size(); ++j)
        if (text.compare(0, 4, hexOf(c.records[j], 0, 2)) == 0) return static_cast<int>(j);
    return -1;
}

// Delivered bytes that can have reached the program as a system-exclusive message: the target's own
// answers (real-time bytes inside them or not), and the system-exclusive strays. A short message is
// never a reply.
bool maybeSysex(const Case& c, const Bytes& bytes) {
    const Bytes read = withoutRealTime(bytes);
    if (read.size() == 3 && read[0] == 0xF0 && read[2] == 0xF7) return true;
    for (const SimStray& stray : c.scenario.strays)
        if (stray.sysex && stray.bytes == bytes) return true;
    return false;
}

}  // namespace

Bytes withoutRealTime(const Bytes& bytes) {
    Bytes kept;
    for (std::uint8_t b : bytes)
        if (b < 0xF8) kept.push_back(b);
    return kept;
}

int codeOf(const Bytes& bytes) {
    const Bytes read = withoutRealTime(bytes);
    return read.size() >= 2 ? read[1] : -1;
}

std::vector<Sending> readSendings(const Case& c, const std::vector<Sent>& data) {
    std::vector<Sending> sendings;
    std::size_t m = 0;
    int previous = -1;
    while (m < data.size()) {
        const int record = recordWithLengthField(c, data[m].text);
        check(record >= 0, "a data message that begins no record of the image: " + data[m].text);
        check(record == previous || record == previous + 1,
              "record " + std::to_string(record) + " sent after record " + std::to_string(previous));
        const Bytes& bytes = c.records[record];
        Sending sending{record, data[m].event, data[m].event, true};
        for (std::size_t from = 0; from < bytes.size(); from += wire::RECORD_BYTES_PER_MESSAGE) {
            if (m == data.size()) {
                sending.whole = false;
                break;
            }
            const std::size_t count = std::min<std::size_t>(wire::RECORD_BYTES_PER_MESSAGE, bytes.size() - from);
            check(data[m].text == hexOf(bytes, from, count),
                  "record " + std::to_string(record) + " changed on the wire: " + data[m].text + " instead of " +
                      hexOf(bytes, from, count));
            sending.lastEvent = data[m].event;
            ++m;
        }
        sendings.push_back(sending);
        previous = record;
    }
    return sendings;
}

bool isIdent(const Bytes& bytes) {
    return bytes.size() == wire::HANDSHAKE_TEXT.size() + 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7 &&
           std::equal(wire::HANDSHAKE_TEXT.begin(), wire::HANDSHAKE_TEXT.end(), bytes.begin() + 1);
}

std::vector<std::size_t> evidenceOf(const Case& c, const std::vector<SimEvent>& events, std::uint8_t code) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SimEvent& e = events[i];
        if (e.kind == SIM_DELIVERED && codeOf(e.bytes) == code && maybeSysex(c, e.bytes)) found.push_back(i);
    }
    return found;
}

bool anyBetween(const std::vector<std::size_t>& evidence, long after, std::size_t before) {
    for (std::size_t at : evidence)
        if (static_cast<long>(at) > after && at < before) return true;
    return false;
}

