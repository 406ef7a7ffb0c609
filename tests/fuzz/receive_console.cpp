#include "receive_console.h"

#include <utility>
#include <vector>

#include "receive_failure.h"
#include "support/scenario.h"

namespace {

const std::string NOT_FOUND = "\nFailed: Can't find the suitable device to update!\n\n";
const std::string FOUND_START = "The Update Device is Open successfully:\nMIDIIN Device: ";
const std::string RESET = "Please reset the product and retry again!\n\n";
const std::string RESTARTED =
    "\rTransferring.. 100% done.  \nTarget update successfully!\n\nThe System is restarted, please wait!\n\n";
const std::string GAVE_UP = "\nError in updating.\n";
const std::string SILENT = "\nFailed: Target is not responding.\n\n";
const std::string OUT_MISSING = "\nError: The MIDI Out of device is missing!\n\n";
const std::string PROGRESS = "\r                        \rTransferring.. ";
const std::string BAD_IMAGE = "Error: The upgrade file is error!\n\n";

bool consume(std::string& text, const std::string& head) {
    if (text.compare(0, head.size(), head) != 0) return false;
    text.erase(0, head.size());
    return true;
}

}  // namespace

Console readConsole(std::string text) {
    Console console{};
    check(consume(text, BANNER + OPENED), "the console does not begin with the banner and the file line");
    check(text.size() >= KEY_PROMPT.size() && text.compare(text.size() - KEY_PROMPT.size(), KEY_PROMPT.size(), KEY_PROMPT) == 0,
          "the console does not end with the key prompt");
    text.erase(text.size() - KEY_PROMPT.size());
    if (text == BAD_IMAGE) {
        console.ending = Ending::BadImage;
        return console;
    }
    if (text == NOT_FOUND) {
        console.ending = Ending::NotFound;
        return console;
    }
    check(consume(text, FOUND_START), "neither 'no device' nor 'device open' after the file line");
    std::size_t end = text.find('\n');
    check(end != std::string::npos, "the input's name line is cut");
    console.inName = text.substr(0, end);
    text.erase(0, end + 1);
    check(consume(text, "MIDIOUT Device: "), "no output name line");
    end = text.find('\n');
    check(end != std::string::npos, "the output's name line is cut");
    console.outName = text.substr(0, end);
    text.erase(0, end + 1);
    if (text == RESET) {
        console.ending = Ending::Reset;
        return console;
    }
    static const std::vector<std::string> refusals = {
        "\nThe download file has been damaged!\n", "\nThe download file verifies error!\n",
        "\nThe MCU erases error!\n", "\nThe CRC of the download file is error!\n"};
    int lastPercent = 0;
    for (;;) {
        if (!consume(text, PROGRESS)) break;
        ++console.progressLines;
        check(text.size() >= 2 && std::string("-\\|/").find(text[0]) != std::string::npos && text[1] == ' ',
              "a progress line without its spinner");
        text.erase(0, 2);
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        check(digits > 0 && digits <= 3, "a progress line without its percentage");
        const int percent = std::stoi(text.substr(0, digits));
        text.erase(0, digits);
        check(consume(text, "% done"), "a progress line without '% done'");
        check(percent >= lastPercent && percent < 100, "progress went back or reached 100 % before the end");
        lastPercent = percent;
        for (const std::string& refusal : refusals)
            if (consume(text, refusal)) break;
    }
    const std::pair<const std::string*, Ending> endings[] = {{&DONE, Ending::Done}, {&RESTARTED, Ending::Restarted},
                                                              {&GAVE_UP, Ending::GaveUp}, {&SILENT, Ending::Silent},
                                                              {&OUT_MISSING, Ending::OutMissing}};
    for (const auto& [ending, kind] : endings) {
        if (text == *ending) {
            console.ending = kind;
            return console;
        }
    }
    fail("the transfer does not end in one of the known ways: '" + printable(text) + "'");
}

