// The console program's output for a scenario, for comparison with the page's: runs the program's
// own logic in FOLDER against the emulated target (the same behaviour words) on virtual time, and
// prints nothing but what the program prints.
//   web_console_run FOLDER [--no-ports | --ports INPUTS:OUTPUTS:TARGET_INPUT:TARGET_OUTPUT] [WORDS...]
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "emulated/world/sim_world.h"
#include "update/run_update.h"

int main(int argc, char** argv) {
    if (argc < 2 || chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: web_console_run FOLDER [--no-ports | --ports I:O:TI:TO] [WORDS...]\n");
        return 2;
    }
    SimScenario scenario;
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-ports") {
            scenario.inputs = scenario.outputs = 0;
            scenario.targetInput = scenario.targetOutput = -1;
        } else if (std::string(argv[i]) == "--ports" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d:%d:%d:%d", &scenario.inputs, &scenario.outputs, &scenario.targetInput,
                            &scenario.targetOutput) != 4) {
                std::fprintf(stderr, "web_console_run: --ports wants INPUTS:OUTPUTS:TARGET_INPUT:TARGET_OUTPUT\n");
                return 2;
            }
        } else {
            words.push_back(argv[i]);
        }
    }
    std::string error;
    if (!parseBehaviourWords(words, scenario.behaviour, error)) {
        std::fprintf(stderr, "web_console_run: %s\n", error.c_str());
        return 2;
    }
    simStart(scenario);
    return runUpdate();
}
