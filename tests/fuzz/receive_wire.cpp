#include "receive_wire.h"

#include <algorithm>

#include "protocol/wire.h"
#include "receive_failure.h"

namespace {

int recordWithLengthField(const Case& c, const std::string& text) {
    for (std::size_t j = 0; j < c.records.size(); ++j)
        if (text.compare(0, 4, hexOf(c.records[j], 0, 2)) == 0) return static_cast<int>(j);
    return -1;
}

// Delivered bytes that can have reached the program as a system-exclusive message: the target's own
// answers, and the system-exclusive strays. A short message is never a reply.
bool maybeSysex(const Case& c, const Bytes& bytes) {
    if (bytes.size() == 3 && bytes[0] == 0xF0 && bytes[2] == 0xF7) return true;
    for (const SimStray& stray : c.scenario.strays)
        if (stray.sysex && stray.bytes == bytes) return true;
    return false;
}

}  // namespace

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
        for (std::size_t from = 0; from < bytes.size(); from += RECORD_BYTES_PER_MESSAGE) {
            if (m == data.size()) {
                sending.whole = false;
                break;
            }
            const std::size_t count = std::min<std::size_t>(RECORD_BYTES_PER_MESSAGE, bytes.size() - from);
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
    return bytes.size() == identToken.size() + 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7 &&
           std::equal(identToken.begin(), identToken.end(), bytes.begin() + 1);
}

std::vector<std::size_t> evidenceOf(const Case& c, const std::vector<SimEvent>& events, std::uint8_t code) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SimEvent& e = events[i];
        if (e.kind == SIM_DELIVERED && e.bytes.size() >= 2 && e.bytes[1] == code && maybeSysex(c, e.bytes)) found.push_back(i);
    }
    return found;
}

bool anyBetween(const std::vector<std::size_t>& evidence, long after, std::size_t before) {
    for (std::size_t at : evidence)
        if (static_cast<long>(at) > after && at < before) return true;
    return false;
}

