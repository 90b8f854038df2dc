// What the benchmark files share: the run's options and files, the table
// sizes with the module copies that serve them, and the helpers that send
// requests and fetch the sample texts the benchmarks work on.
#pragma once

#include "benchhost.h"

#include "monitoring.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace zorbench {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<std::size_t> sizes = {100, 10000, 100000};
    std::size_t logBytes = 64u * 1024u * 1024u;
    std::string module;
    std::string workDir;
    bool keep = false;
    bool smoke = false;
};

extern Options gOptions;
extern std::string gWork;          // temporary folder of this run
extern std::string gModuleFolder;  // where module copies are loaded from
extern std::string gLogRoot;       // ZOR_ROOT holding the big log

// Per table size: its root (ZOR_ROOT), the size of its Monitor.cfg, and the
// module copy whose session serves the request benchmarks.
struct SizeState {
    std::size_t entries = 0;
    std::string root;
    std::size_t cfgBytes = 0;
    std::string setupError;
    std::unique_ptr<ModuleCopy> module;
};
extern std::vector<SizeState> gSizes;

/// Points ZOR_ROOT at `root` for the module copies loaded from now on.
void setRoot(const std::string& root);

/// Wall-clock seconds between two points.
double seconds(Clock::time_point from, Clock::time_point to);

/// CPU time of this thread, user and system, in seconds.
double threadSeconds();

/// Sends a request as the host does; only the entry point's work goes into
/// *spent. Exceptions of the module pass to the caller.
int measuredSend(const Request& request, double* spent);

/// The module copy of a size with its session open (other sizes' copies are
/// released); null with the reason in *error.
ModuleCopy* sessionFor(std::size_t sizeIndex, std::string* error);

/// Sends a request that must succeed; false with the reason in *error.
bool sendOk(const Request& request, std::string* reply, std::string* error);

std::string entryKey(std::size_t entry);
std::string triggerKey(std::size_t entry);
std::string triggerKey(std::size_t entry, std::size_t trigger);

// The XML texts of the sample entries and of one trigger of each, as the
// module replies them now.
struct Samples {
    std::vector<std::size_t> entries;
    std::vector<std::size_t> triggers;
    std::vector<std::string> entryXml;
    std::vector<std::string> triggerXml;
};

/// The module holding the size's table, with the table's sample texts; a
/// benchmark that cannot have them is skipped with the reason (null).
ModuleCopy* samplesFor(benchmark::State& state, std::size_t sizeIndex, Samples* samples);

// Runs `body` for every iteration with the module's exceptions turned into a
// failed benchmark.
template <typename Body>
void guarded(benchmark::State& state, Body body)
{
    try {
        body();
    } catch (const MonitoringException& e) {
        state.SkipWithError(("MonitoringException: " + e.getMessage()).c_str());
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    } catch (...) {
        state.SkipWithError("an exception left an entry point");
    }
}

} // namespace zorbench
