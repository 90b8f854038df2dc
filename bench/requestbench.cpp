// Requests through the entry points: the configuration keys on every table
// size, the delete of the first entry, the commit and the session start.

#include "benchsamples.h"
#include "benchsuite.h"

#include "monitoring.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

namespace zorbench {
namespace {

long statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
        }
    }
    return -1;
}

// Linux resets the peak resident size to the current one on "5".
bool resetPeakMemory()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
}

// Sends the prepared requests in turn, each measured. With restore, every
// measured request is followed by an unmeasured one that undoes it, so that
// every iteration sees the same table.
void measuredRequests(benchmark::State& state, const std::vector<Request>& timed, const std::vector<Request>& restore)
{
    guarded(state, [&] {
        std::size_t k = 0;
        for (auto _ : state) {
            const Request& request = timed[k % timed.size()];
            double spent = 0;
            int result = measuredSend(request, &spent);
            if (result != 0) {
                state.SkipWithError(("request failed: " + request.key).c_str());
                break;
            }
            if (!restore.empty()) {
                const Request& undo = restore[k % restore.size()];
                if (ModuleCopy::sendQuick(undo) != 0) {
                    state.SkipWithError(("request failed: " + undo.key).c_str());
                    break;
                }
            }
            ++k;
            state.SetIterationTime(spent);
        }
    });
}

} // namespace

void requestBenchmark(benchmark::State& state, std::size_t sizeIndex, Op op)
{
    Samples samples;
    ModuleCopy* module = samplesFor(state, sizeIndex, &samples);
    if (module == nullptr) {
        return;
    }
    const std::size_t n = gSizes[sizeIndex].entries;
    std::vector<Request> timed;
    std::vector<Request> restore;
    for (std::size_t k = 0; k < samples.entries.size(); ++k) {
        const std::size_t e = samples.entries[k];
        const std::size_t t = samples.triggers[k];
        const std::string index = std::to_string(e);
        switch (op) {
        case Op::entryCount:
            timed.push_back(module->route(KEY_TYPE_GET, keys::kEntryCount));
            break;
        case Op::entryGet:
            timed.push_back(module->route(KEY_TYPE_GET, entryKey(e)));
            break;
        case Op::entrySet:
            // The entry's own text: the table stays as it is.
            timed.push_back(module->route(KEY_TYPE_SET, entryKey(e), index + "/" + samples.entryXml[k]));
            break;
        case Op::entryAdd:
            timed.push_back(module->route(KEY_TYPE_ADD, keys::kEntry, samples.entryXml[k]));
            restore.push_back(module->route(KEY_TYPE_DEL, entryKey(n)));
            break;
        case Op::triggerCount:
            timed.push_back(module->route(KEY_TYPE_GET, keys::kTriggerCount + index));
            break;
        case Op::triggerGet:
            timed.push_back(module->route(KEY_TYPE_GET, triggerKey(e, t)));
            break;
        case Op::triggerSet:
            timed.push_back(module->route(KEY_TYPE_SET, triggerKey(e, t),
                                          index + "/" + std::to_string(t) + "/" + samples.triggerXml[k]));
            break;
        case Op::triggerAdd:
            timed.push_back(module->route(KEY_TYPE_ADD, triggerKey(e), index + "/" + samples.triggerXml[k]));
            restore.push_back(module->route(KEY_TYPE_DEL, triggerKey(e, 3)));
            break;
        case Op::triggerDel: {
            // The last of the three triggers goes and comes back as it was.
            std::string last, error;
            if (!sendOk(module->route(KEY_TYPE_GET, triggerKey(e, 2)), &last, &error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            timed.push_back(module->route(KEY_TYPE_DEL, triggerKey(e, 2)));
            restore.push_back(module->route(KEY_TYPE_ADD, triggerKey(e), index + "/" + last));
            break;
        }
        }
    }
    measuredRequests(state, timed, restore);
}

// Deleting entry 0 moves every later entry down by one place; the entry is
// added again at the end (untimed), so the table keeps its size.
void deleteFirstEntry(benchmark::State& state, std::size_t sizeIndex)
{
    std::string error;
    ModuleCopy* module = sessionFor(sizeIndex, &error);
    if (module == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    const Request get = module->route(KEY_TYPE_GET, entryKey(0));
    const Request del = module->route(KEY_TYPE_DEL, entryKey(0));
    guarded(state, [&] {
        for (auto _ : state) {
            std::string text;
            if (!sendOk(get, &text, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            double spent = 0;
            int result = measuredSend(del, &spent);
            if (result != 0 || !sendOk(module->route(KEY_TYPE_ADD, keys::kEntry, text), nullptr, &error)) {
                state.SkipWithError(("delete of entry 0 failed " + error).c_str());
                break;
            }
            state.SetIterationTime(spent);
        }
    });
}

// A commit writes the whole table; a set of one entry to its own text makes
// the session dirty first (untimed).
void commitBenchmark(benchmark::State& state, std::size_t sizeIndex)
{
    std::string error;
    ModuleCopy* module = sessionFor(sizeIndex, &error);
    std::string first;
    if (module == nullptr || !sendOk(module->route(KEY_TYPE_GET, entryKey(0)), &first, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const Request dirty = module->route(KEY_TYPE_SET, entryKey(0), "0/" + first);
    const Request commit = module->route(KEY_TYPE_COMMIT, keys::kCommit);
    guarded(state, [&] {
        for (auto _ : state) {
            if (!sendOk(dirty, nullptr, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            Clock::time_point start = Clock::now();
            Outcome outcome = ModuleCopy::send(commit);
            Clock::time_point end = Clock::now();
            if (outcome.result != 0) {
                state.SkipWithError(("commit failed: " + outcome.reply + outcome.exception).c_str());
                break;
            }
            state.SetIterationTime(seconds(start, end));
        }
    });
    state.counters["cfg_bytes"] = static_cast<double>(gSizes[sizeIndex].cfgBytes);
}

// Session start on a fresh copy of the module: the load of Monitor.cfg (and
// of the preset catalogue). The peak resident memory during OpenSession,
// above what the process held before, is reported per byte of Monitor.cfg.
void loadBenchmark(benchmark::State& state, std::size_t sizeIndex)
{
    SizeState& size = gSizes[sizeIndex];
    if (!size.setupError.empty()) {
        state.SkipWithError(size.setupError.c_str());
        return;
    }
    for (SizeState& other : gSizes) {
        other.module.reset();
    }
    // Per load: the first one of a run also faults in code of the module and
    // the parser, which is no cost of the table; the median is reported.
    std::vector<double> peaks;
    for (auto _ : state) {
        auto module = std::make_unique<ModuleCopy>(gOptions.module, gModuleFolder);
        if (!module->loaded()) {
            state.SkipWithError(module->error().c_str());
            break;
        }
        setRoot(size.root);
        ::malloc_trim(0);
        long before = statusKiB("VmRSS");
        bool peakKnown = resetPeakMemory() && before >= 0;
        double start = threadSeconds();
        int opened = module->openSession();
        double spent = threadSeconds() - start;
        long high = statusKiB("VmHWM");
        if (peakKnown && high >= before) {
            peaks.push_back(static_cast<double>(high - before) * 1024.0);
        }
        Outcome counted = ModuleCopy::send(module->route(KEY_TYPE_GET, keys::kEntryCount));
        if (opened != 0 || counted.reply != std::to_string(size.entries)) {
            state.SkipWithError(("session start did not load the configuration: " + counted.reply).c_str());
            break;
        }
        state.SetIterationTime(spent);
        module.reset(); // unloading a large table takes a while; outside the measurement
    }
    state.counters["cfg_bytes"] = static_cast<double>(size.cfgBytes);
    double peak = -1.0;
    if (!peaks.empty()) {
        std::sort(peaks.begin(), peaks.end());
        peak = peaks[peaks.size() / 2];
    }
    state.counters["peak_bytes"] = peak;
    state.counters["peak_per_cfg_byte"] = peak >= 0 ? peak / static_cast<double>(size.cfgBytes) : -1.0;
}

} // namespace zorbench
