// Waiting for the target's reply: polls of the mailbox with a 1 ms sleep between them.
#pragma once

#include <cstdint>

// True, with the reply code, once a message of two or more bytes has arrived within `polls` polls;
// shorter messages are no reply and do not end the wait. `waited`: the polls it took.
bool waitForReply(int polls, std::uint8_t& code, int& waited);
