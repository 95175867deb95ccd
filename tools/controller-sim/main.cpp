// fixqrv-sim: a KTX/RVB controller at the far end of a pseudo-terminal, for
// demonstrations, end-to-end tests and benchmarks of FixQRV.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/controller-sim/options.h"
#include "tools/controller-sim/session.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const sim::ParsedOptions parsed = sim::parseOptions(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "fixqrv-sim: %s\nTry 'fixqrv-sim --help'.\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.options.help) {
        std::fputs(sim::usageText().c_str(), stdout);
        return 0;
    }
    return sim::serve(parsed.options);
}
