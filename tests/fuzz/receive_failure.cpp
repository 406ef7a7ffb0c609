#include "receive_failure.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "receive_world.h"

namespace {

const Case* currentCase = nullptr;
const std::string* currentTranscript = nullptr;

}  // namespace

void watchRun(const Case* c, const std::string* transcript) {
    currentCase = c;
    currentTranscript = transcript;
}

std::string hexText(const Bytes& bytes, std::size_t limit) {
    std::string text = hexOf(bytes, 0, std::min(bytes.size(), limit));
    if (bytes.size() > limit) text += "...(" + std::to_string(bytes.size()) + ")";
    return text;
}

std::string printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\n') out += "\\n\n";
        else if (ch == '\r') out += "\\r";
        else out += ch;
    }
    return out;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_receive: %s\n", what.c_str());
    if (currentCase) std::fprintf(stderr, "--- scenario\n%s\n", describe(*currentCase).c_str());
    if (currentTranscript) std::fprintf(stderr, "--- console\n%s\n", printable(*currentTranscript).c_str());
    std::fprintf(stderr, "--- wire\n");
    for (const SimEvent& e : simEvents()) {
        static const char* kinds[] = {"open in", "close in", "open out", "close out", "sent", "delivered", "lost"};
        std::fprintf(stderr, "%6llu %-9s %d %s\n", static_cast<unsigned long long>(e.timeMs), kinds[e.kind], e.port,
                     hexText(e.bytes).c_str());
    }
    std::abort();
}

void check(bool holds, const std::string& what) {
    if (!holds) fail(what);
}

