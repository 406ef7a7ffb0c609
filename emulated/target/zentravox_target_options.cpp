// zentravox-target's command line, in getopt_long's conventions; the behaviour options are the emulated
// target's own words (emulated/model/target_behaviour.h).
#include "emulated/target/zentravox_target.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zentravox_target {

namespace {

void printHelp() {
    std::printf(
        "Usage: %s [OPTION]...\n"
        "Puts the emulated Zentravox target on MIDI ports, for the update program to find and update: it\n"
        "answers the handshake, reassembles the records, checks their checksums and writes what it accepts\n"
        "into its flash. It runs until interrupted (Ctrl-C, SIGTERM) or until --exit-after.\n"
        "\n"
        "Ports:\n"
        "  --api alsa|jack          MIDI system (default: the ALSA sequencer where /dev/snd/seq exists,\n"
        "                           else JACK; JACK_DEFAULT_SERVER picks the JACK server)\n"
        "  --client NAME            base client name (default zentravox-target): the target listens on\n"
        "                           NAME-in:PORT and answers on NAME-out:PORT\n"
        "  --port NAME              name of both ports (default midi)\n"
        "  --rawmidi DEVICE         a raw MIDI device instead (e.g. hw:1,0, or hw:fmidi for the device\n"
        "                           side of a USB MIDI gadget), read and written byte by byte\n"
        "\n"
        "Behaviour (records count from 1, as the log shows them; CODE is a hex byte 00..7F):\n"
        "%s"
        "  (--flood, --garbage and --broken go out before the answer to the same message; every\n"
        "   message leaves in turn, a late one holding up those behind it)\n"
        "\n"
        "Output:\n"
        "  --flash FILE             write the flash (every record written, binary, in the order written)\n"
        "                           to FILE on exit; left as it was when the ports cannot be opened\n"
        "  --quiet                  leave out the lines per handshake and per record\n"
        "  --help                   show this help\n"
        "\n"
        "The target cannot tell a record sent again from the next one: every record that arrives whole and\n"
        "sound is written after the last one, so a record accepted twice is in the flash twice.\n"
        "A line starting with \"ready:\" tells that both ports exist. Exit status: 0 when stopped by a\n"
        "signal or by --exit-after, 1 when the ports or the flash file fail, 2 for a bad option.\n",
        PROGRAM, behaviourHelp().c_str());
}

[[noreturn]] void badOption(const std::string& what) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", PROGRAM, what.c_str(), PROGRAM);
    std::exit(2);
}

enum PortOption { OPT_API = 1, OPT_CLIENT, OPT_PORT, OPT_RAWMIDI, OPT_FLASH, OPT_QUIET, OPT_HELP };

}  // namespace

Options parseOptions(int argc, char** argv) {
    std::vector<option> table = {{"api", required_argument, nullptr, OPT_API},
                                 {"client", required_argument, nullptr, OPT_CLIENT},
                                 {"port", required_argument, nullptr, OPT_PORT},
                                 {"rawmidi", required_argument, nullptr, OPT_RAWMIDI},
                                 {"flash", required_argument, nullptr, OPT_FLASH},
                                 {"quiet", no_argument, nullptr, OPT_QUIET},
                                 {"help", no_argument, nullptr, OPT_HELP}};
    for (const BehaviourOption& behaviour : BEHAVIOUR_OPTIONS)
        table.push_back({behaviour.name, behaviour.takesValue ? required_argument : no_argument, nullptr, behaviour.id});
    table.push_back({nullptr, 0, nullptr, 0});

    Options options;
    opterr = 0;   // our own messages, in our own words
    for (;;) {
        int index = -1;
        const int id = getopt_long(argc, argv, "h", table.data(), &index);
        if (id == -1) break;
        const std::string name = index >= 0 ? std::string("--") + table[static_cast<std::size_t>(index)].name : "";
        const std::string value = optarg != nullptr ? optarg : "";
        std::string error;
        switch (id) {
            case 'h':
            case OPT_HELP: printHelp(); std::exit(0);
            case OPT_API:
                if (value != "alsa" && value != "jack") badOption("--api expects alsa or jack, not '" + value + "'");
                options.api = value;
                break;
            case OPT_CLIENT:
            case OPT_PORT:
                if (value.empty() || value.find(':') != std::string::npos || value.size() > 40)
                    badOption(name + " expects a name of 1 to 40 characters without ':', not '" + value + "'");
                (id == OPT_CLIENT ? options.client : options.port) = value;
                break;
            case OPT_RAWMIDI:
                if (value.empty()) badOption("--rawmidi expects a device name such as hw:1,0, not an empty one");
                options.rawMidi = value;
                break;
            case OPT_FLASH:
                if (value.empty()) badOption("--flash expects a file name, not an empty one");
                options.flashPath = value;
                break;
            case OPT_QUIET: options.quiet = true; break;
            case '?':
            case ':': {
                const std::string given = argv[optind - 1];
                if (optopt != 0 || id == ':') badOption(given + " expects a value after it");
                badOption("unknown option '" + given + "'");
            }
            default:
                if (!applyBehaviourOption(id, value, options.behaviour, error)) badOption(error);
        }
    }
    if (optind < argc) badOption("unexpected argument '" + std::string(argv[optind]) + "'");
    if (!options.rawMidi.empty() && !options.api.empty()) badOption("--rawmidi and --api exclude each other");
    return options;
}

}  // namespace zentravox_target
