// The run's shared state and the helpers every benchmark uses to reach a
// table size's module copy and its sample texts.

#include "benchsamples.h"

#include "zormodparam.h"

#include <cstdlib>
#include <ctime>
#include <utility>

namespace zorbench {

Options gOptions;
std::string gWork;
std::string gModuleFolder;
std::string gLogRoot;
std::vector<SizeState> gSizes;

namespace {

// Requests address this many entries spread over the table, so that a large
// table is really walked, not one entry of it.
constexpr std::size_t kSample = 64;

std::vector<std::size_t> sampleIndexes(std::size_t entries)
{
    std::vector<std::size_t> indexes;
    for (std::size_t k = 0; k < kSample; ++k) {
        indexes.push_back(entries >= kSample ? k * entries / kSample : k % entries);
    }
    return indexes;
}

} // namespace

void setRoot(const std::string& root) { ::setenv("ZOR_ROOT", root.c_str(), 1); }

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// CPU time of this thread, user and system: what the work itself cost,
// whatever else the shared machine runs meanwhile. Requests, floors, loads
// and deletes are measured with it; commit (which waits for the disk), the
// log key and cat (another process) with the wall clock.
double threadSeconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sends a request as the host does. The host builds the parameter block
// before the call and frees it after; only the entry point's work is
// measured. Exceptions of the module pass to the caller.
int measuredSend(const Request& request, double* spent)
{
    ZorModParam parms(request.key.c_str(), request.value ? request.value->c_str() : nullptr, kReplySize);
    double start = threadSeconds();
    int result = request.entry(&parms, request.keyId, request.type, request.instance);
    *spent = threadSeconds() - start;
    return result;
}

// The module copy of a size with its session open; other sizes' copies are
// released first, so that only one large table is in memory at a time.
ModuleCopy* sessionFor(std::size_t sizeIndex, std::string* error)
{
    SizeState& size = gSizes[sizeIndex];
    if (!size.setupError.empty()) {
        *error = size.setupError;
        return nullptr;
    }
    for (std::size_t i = 0; i < gSizes.size(); ++i) {
        if (i != sizeIndex) {
            gSizes[i].module.reset();
        }
    }
    if (!size.module) {
        setRoot(size.root);
        auto module = std::make_unique<ModuleCopy>(gOptions.module, gModuleFolder);
        if (!module->loaded()) {
            *error = module->error();
            return nullptr;
        }
        int opened = module->openSession();
        if (opened != 0) {
            *error = "OpenSession returned " + std::to_string(opened);
            return nullptr;
        }
        Outcome counted = ModuleCopy::send(module->route(KEY_TYPE_GET, keys::kEntryCount));
        if (counted.result != 0 || counted.reply != std::to_string(size.entries)) {
            *error = "the module did not load the configuration (entry count: result " +
                     std::to_string(counted.result) + ", reply \"" + counted.reply + "\"" +
                     (counted.exception.empty() ? "" : ", " + counted.exception) + ")";
            return nullptr;
        }
        size.module = std::move(module);
    }
    return size.module.get();
}

// Sends a request that must succeed; false with the reason in *error.
bool sendOk(const Request& request, std::string* reply, std::string* error)
{
    Outcome outcome = ModuleCopy::send(request);
    if (outcome.result != 0 || !outcome.exception.empty()) {
        *error = request.key + ": result " + std::to_string(outcome.result) + " " + outcome.reply + " " +
                 outcome.exception;
        return false;
    }
    if (reply != nullptr) {
        *reply = std::move(outcome.reply);
    }
    return true;
}

std::string entryKey(std::size_t entry) { return keys::kEntry + std::to_string(entry); }
std::string triggerKey(std::size_t entry) { return keys::kTrigger + std::to_string(entry); }
std::string triggerKey(std::size_t entry, std::size_t trigger)
{
    return triggerKey(entry) + "/" + std::to_string(trigger);
}

namespace {

bool fetchSamples(ModuleCopy& module, std::size_t tableSize, Samples* samples, std::string* error)
{
    samples->entries = sampleIndexes(tableSize);
    samples->triggers.clear();
    samples->entryXml.clear();
    samples->triggerXml.clear();
    for (std::size_t k = 0; k < samples->entries.size(); ++k) {
        std::size_t e = samples->entries[k];
        std::size_t t = k % 3;
        std::string entryText;
        std::string triggerText;
        if (!sendOk(module.route(KEY_TYPE_GET, entryKey(e)), &entryText, error) ||
            !sendOk(module.route(KEY_TYPE_GET, triggerKey(e, t)), &triggerText, error)) {
            return false;
        }
        samples->triggers.push_back(t);
        samples->entryXml.push_back(std::move(entryText));
        samples->triggerXml.push_back(std::move(triggerText));
    }
    return true;
}

} // namespace

ModuleCopy* samplesFor(benchmark::State& state, std::size_t sizeIndex, Samples* samples)
{
    std::string error;
    ModuleCopy* module = sessionFor(sizeIndex, &error);
    if (module == nullptr || !fetchSamples(*module, gSizes[sizeIndex].entries, samples, &error)) {
        state.SkipWithError(error.c_str());
        return nullptr;
    }
    return module;
}

} // namespace zorbench
