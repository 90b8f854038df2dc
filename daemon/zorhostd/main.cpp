// zorhostd: the host as a long-running service. It loads the monitor module
// once, keeps it loaded, and serves every management client that connects
// to its UNIX socket with a module session of its own, all sessions sharing
// the module's one configuration store.
#include "options.h"
#include "service.h"

#include <malloc.h>

#include <iostream>

int main(int argc, char** argv)
{
    // Large blocks (request lines, replies) always come from their own
    // mappings and go back to the system when freed. glibc otherwise raises
    // that threshold after the first large free, and every session thread's
    // arena keeps the memory of its largest request for good.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    zor::Expected<zorhostd::CommandLine> line = zorhostd::parseCommandLine(argc, argv);
    if (!line) {
        std::cerr << "zorhostd: " << line.error() << '\n';
        return zorhostd::kExitStartFailed;
    }
    if (line->exitNow) {
        return *line->exitNow;
    }
    return zorhostd::runService(line->config);
}
