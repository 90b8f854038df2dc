// The monitor module's benchmark suite. It loads the built module with dlopen,
// opens a session with a listener and sends every request through the
// exported entry points with real parameter blocks, as the host process does,
// on generated configurations of three sizes. Beside the requests it measures
// the XML work they cannot avoid (parsing the request text and generating the
// reply text, directly with the same library), so that the table at the end
// can say what each request costs beyond its XML work and how that grows with
// the table. Beside them it measures floors from outside the project: a
// plain writer of the same reply bytes, a bare SAX2 parse of the same request
// texts, xmllint --noout and a bare SAX2 scan of the same Monitor.cfg, and cp
// with fsync of the same bytes as a commit.
//
//   zorbench [--sizes=100,10000,100000] [--log-mib=64] [--module=PATH]
//            [--work-dir=DIR] [--keep] [--smoke] [benchmark options]
//
// --smoke runs every benchmark once on small tables (for CI, so the suite
// cannot rot). The exit status is non-zero when any benchmark failed; a
// target that is not met is reported in the table, not in the status.
//
// The benchmarks themselves live beside this file (benchsamples.cpp for the
// shared state, xmlfloor.cpp, outsidefloors.cpp, requestbench.cpp,
// logbench.cpp); this file takes the options, writes the files, registers
// the suite and prints the table.

#include "benchconfig.h"
#include "benchhost.h"
#include "benchsamples.h"
#include "benchsuite.h"
#include "ratiotable.h"

#include "monitoring.h"
#include "zorglobals.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zorbench {
namespace {

std::string selfFolder()
{
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string full(path);
    return full.substr(0, full.find_last_of('/'));
}

bool parseSizes(const std::string& text, std::vector<std::size_t>* sizes)
{
    sizes->clear();
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        char* end = nullptr;
        unsigned long long n = std::strtoull(part.c_str(), &end, 10);
        if (end == part.c_str() || *end != '\0' || n == 0) {
            return false;
        }
        sizes->push_back(static_cast<std::size_t>(n));
    }
    return sizes->size() == 3 && (*sizes)[0] < (*sizes)[1] && (*sizes)[1] < (*sizes)[2];
}

// Takes this program's own options out of argv; the rest is for the library.
bool parseOptions(int* argc, char** argv)
{
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            std::size_t length = std::strlen(name);
            return arg.compare(0, length, name) == 0 ? argv[i] + length : nullptr;
        };
        if (arg == "--smoke") {
            gOptions.smoke = true;
            gOptions.sizes = {20, 200, 2000};
            gOptions.logBytes = 1024 * 1024;
        } else if (arg == "--keep") {
            gOptions.keep = true;
        } else if (const char* sizes = value("--sizes=")) {
            if (!parseSizes(sizes, &gOptions.sizes)) {
                std::cerr << "zorbench: --sizes needs three growing entry counts, e.g. 100,10000,100000\n";
                return false;
            }
        } else if (const char* mib = value("--log-mib=")) {
            long n = std::strtol(mib, nullptr, 10);
            if (n <= 0) {
                std::cerr << "zorbench: --log-mib needs a positive number\n";
                return false;
            }
            gOptions.logBytes = static_cast<std::size_t>(n) * 1024u * 1024u;
        } else if (const char* module = value("--module=")) {
            gOptions.module = module;
        } else if (const char* work = value("--work-dir=")) {
            gOptions.workDir = work;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    ModuleCopy::setUnloadCopies(!gOptions.smoke);
    if (gOptions.module.empty()) {
        gOptions.module = selfFolder() + "/libmonitor.so";
    }
    return true;
}

bool prepareFiles()
{
    std::string base = gOptions.workDir;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/zorbench.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::cerr << "zorbench: cannot create a folder in " << base << "\n";
        return false;
    }
    gWork = name.data();
    gModuleFolder = gWork + "/modules";
    gLogRoot = gWork + "/logs";
    std::string error;
    if (!makeFolders(gModuleFolder) || !writeLogFile(gLogRoot, "bench", gOptions.logBytes, &error)) {
        std::cerr << "zorbench: " << (error.empty() ? "cannot prepare " + gWork : error) << "\n";
        return false;
    }
    for (std::size_t entries : gOptions.sizes) {
        SizeState size;
        size.entries = entries;
        size.root = gWork + "/size-" + std::to_string(entries);
        std::cerr << "zorbench: writing a configuration of " << entries << " entries\n";
        size.cfgBytes = writeConfiguration(size.root, entries, &error);
        if (size.cfgBytes == 0) {
            size.setupError = error;
        }
        gSizes.push_back(std::move(size));
    }
    return true;
}

void registerSuite()
{
    // Requests are a few microseconds each; the rest take as long as they take.
    // Measured benchmarks report what they measured; the others (log key and
    // cat) the wall-clock time of their loop.
    auto configure = [](benchmark::internal::Benchmark* b, bool manual, benchmark::TimeUnit unit) {
        b->Unit(unit);
        if (manual) {
            b->UseManualTime();
        } else {
            b->UseRealTime();
        }
        if (gOptions.smoke) {
            b->Iterations(1);
        }
    };
    for (std::size_t i = 0; i < gSizes.size(); ++i) {
        const std::size_t n = gSizes[i].entries;
        // Loads of large tables take seconds each; a few are enough there.
        const int heavyIterations = static_cast<int>(std::max<std::size_t>(3, std::min<std::size_t>(100, 100000 / n)));
        auto* load = benchmark::RegisterBenchmark(benchName("load", n).c_str(), loadBenchmark, i);
        configure(load, true, benchmark::kMillisecond);
        if (!gOptions.smoke) {
            load->Iterations(heavyIterations);
        }
        configure(benchmark::RegisterBenchmark(benchName("floor-generate-entry", n).c_str(), floorGenerateEntry, i),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-parse-entry", n).c_str(), floorParse, i, false),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-generate-trigger", n).c_str(), floorGenerateTrigger, i),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-parse-trigger", n).c_str(), floorParse, i, true),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-plain-write-entry", n).c_str(), floorPlainWrite, i),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-sax-parse-entry", n).c_str(), floorSaxParse, i),
                  true, benchmark::kMicrosecond);
        for (auto [what, body] : {std::pair{"floor-xmllint", &floorXmllint}, std::pair{"floor-sax-scan", &floorSaxScan},
                                  std::pair{"floor-cp-fsync", &floorCopySync}}) {
            // The smoke run keeps working where libxml2-utils is not installed.
            if (gOptions.smoke && body == &floorXmllint && !onPath("xmllint")) {
                continue;
            }
            auto* floor = benchmark::RegisterBenchmark(benchName(what, n).c_str(), body, i);
            configure(floor, true, benchmark::kMillisecond);
            if (!gOptions.smoke) {
                floor->Iterations(heavyIterations);
            }
        }
        const std::pair<const char*, Op> requests[] = {
            {"entry-count", Op::entryCount},     {"entry-get", Op::entryGet},     {"entry-set", Op::entrySet},
            {"entry-add", Op::entryAdd},         {"trigger-count", Op::triggerCount}, {"trigger-get", Op::triggerGet},
            {"trigger-set", Op::triggerSet},     {"trigger-add", Op::triggerAdd}, {"trigger-del", Op::triggerDel},
        };
        for (const auto& request : requests) {
            configure(benchmark::RegisterBenchmark(benchName(request.first, n).c_str(), requestBenchmark, i,
                                                   request.second),
                      true, benchmark::kMicrosecond);
        }
        auto* commit = benchmark::RegisterBenchmark(benchName("commit", n).c_str(), commitBenchmark, i);
        configure(commit, true, benchmark::kMillisecond);
        if (!gOptions.smoke) {
            commit->Iterations(heavyIterations);
        }
        configure(benchmark::RegisterBenchmark(benchName("entry-del0", n).c_str(), deleteFirstEntry, i), true,
                  benchmark::kMicrosecond);
    }
    configure(benchmark::RegisterBenchmark("log-key", logKeyBenchmark), true, benchmark::kMillisecond);
    configure(benchmark::RegisterBenchmark("log-cat", catBenchmark), false, benchmark::kMillisecond);
}

} // namespace
} // namespace zorbench

int main(int argc, char** argv)
{
    using namespace zorbench;
    if (!parseOptions(&argc, argv)) {
        return 2;
    }
    // The module writes a line to the host log per request; like a host
    // started with its log on /dev/null, the lines are formatted and written,
    // and then discarded.
    std::ofstream hostLog("/dev/null");
    zor_logstream.rdbuf(hostLog.rdbuf());

    // The suite's own options first (--help ends here), then the files.
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    MonitoringConfiguration::initialize();
    if (!prepareFiles()) {
        return 2;
    }
    registerSuite();
    // Colours only for a terminal, so that logs of bench/run stay readable.
    CollectingReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                        : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    for (SizeState& size : gSizes) {
        size.module.reset();
    }
    releaseLogModule();

    TableSizes sizes{gOptions.sizes[0], gOptions.sizes[1], gOptions.sizes[2]};
    printRatioTable(std::cout, reporter.figures(), sizes, gOptions.logBytes);
    std::cout.flush();

    int failed = 0;
    for (const auto& figure : reporter.figures()) {
        failed += figure.second.error.empty() ? 0 : 1;
    }
    if (gOptions.keep) {
        std::cerr << "zorbench: files kept in " << gWork << "\n";
    } else {
        removeTree(gWork);
    }
    benchmark::Shutdown();
    return failed == 0 ? 0 : 1;
}
