// Scenario text of any bytes: it is taken, or refused with a message that names the file and a
// line the text has (or says it has no steps). Nothing else may come of it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "peer/PeerError.h"
#include "peer/scenario/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::size_t lines = 1;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    try {
        const peer::Scenario scenario = peer::ParseScenarioText(text, "x", SCENARIO_FOLDER);
        if (scenario.steps.empty()) {
            std::fprintf(stderr, "taken without steps\n");
            std::abort();
        }
        for (const peer::ScenarioStep& step : scenario.steps) {
            if (step.line < 1 || static_cast<std::size_t>(step.line) > lines || step.text.empty()) {
                std::fprintf(stderr, "step on line %d of %zu: \"%s\"\n", step.line, lines,
                             step.text.c_str());
                std::abort();
            }
        }
    } catch (const peer::UsageError& error) {
        const std::string message = error.what();
        if (message == "x: no steps") {
            return 0;
        }
        const std::size_t colon = message.find(": ", 2);
        const std::string line = message.substr(2, colon == std::string::npos ? 0 : colon - 2);
        const unsigned long number = line.empty() ? 0 : std::strtoul(line.c_str(), nullptr, 10);
        if (!message.starts_with("x:") || colon == std::string::npos ||
            line.find_first_not_of("0123456789") != std::string::npos || number < 1 ||
            number > lines) {
            std::fprintf(stderr, "refused without the line: \"%s\"\n", message.c_str());
            std::abort();
        }
    }
    return 0;
}
