// A build without JACK's development files: no answering port is ever opened, so nothing here but the
// opening is reached.
#include "emulated/target/zentravox_target.h"
#include "emulated/target/zentravox_target_jack.h"

namespace zentravox_target {

void silenceJack() {}

JackAnswerPort* openAnswerPort(const std::string&, const std::string&, const std::string&) {
    fail("this build has no JACK support; use --api alsa");
    return nullptr;
}

void closeAnswerPort(JackAnswerPort*& answer) { answer = nullptr; }
bool portsVisible(JackAnswerPort&, std::initializer_list<std::string>) { return false; }
bool jackServerGone(JackAnswerPort&) { return false; }
bool jackAnswer(JackAnswerPort&, const std::vector<std::vector<std::uint8_t>>&, const std::function<bool()>&) {
    return false;
}

}  // namespace zentravox_target
