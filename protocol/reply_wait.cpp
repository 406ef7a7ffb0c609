#include "protocol/reply_wait.h"

#include "midi/port_pair.h"
#include "protocol/wire.h"

bool waitForReply(int polls, std::uint8_t& code, int& waited) {
    for (waited = 0; waited < polls; ++waited) {
        if (takeReply(code)) return true;
        platformSleep(POLL_INTERVAL_MS);
    }
    // A reply that arrived during the last sleep still counts.
    return takeReply(code);
}
