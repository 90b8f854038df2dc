// The log key against cat: the whole monitoring log through the entry point
// against cat of the same file, both on the wall clock.

#include "benchsamples.h"
#include "benchsuite.h"

#include "zormodparam.h"

#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zorbench {
namespace {

std::unique_ptr<ModuleCopy> gLogModule;

} // namespace

void logKeyBenchmark(benchmark::State& state)
{
    for (SizeState& other : gSizes) {
        other.module.reset();
    }
    setRoot(gLogRoot);
    if (!gLogModule) {
        gLogModule = std::make_unique<ModuleCopy>(gOptions.module, gModuleFolder);
        if (!gLogModule->loaded() || gLogModule->openSession() != 0) {
            state.SkipWithError(("cannot open a session: " + gLogModule->error()).c_str());
            gLogModule.reset();
            return;
        }
    }
    // Wall clock, as for cat, and the whole request: unlike the other
    // requests, the host's building and freeing of the parameter block count,
    // since the reply's memory is most of the work, as cat's process is.
    const Request request = gLogModule->route(KEY_TYPE_GET, std::string(keys::kLog) + "bench");
    guarded(state, [&] {
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            int result = 0;
            {
                ZorModParam parms(request.key.c_str(), nullptr, kReplySize);
                result = request.entry(&parms, request.keyId, request.type, request.instance);
            }
            state.SetIterationTime(seconds(start, Clock::now()));
            if (result != 0) {
                state.SkipWithError("the log key did not return the log");
                break;
            }
        }
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(gOptions.logBytes));
}

void catBenchmark(benchmark::State& state)
{
    const std::string file = gLogRoot + "/var/log/monitor/bench.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char cat[] = "cat";
    std::vector<char> path(file.begin(), file.end());
    path.push_back('\0');
    char* argv[] = {cat, path.data(), nullptr};
    for (auto _ : state) {
        pid_t child = 0;
        int status = 0;
        if (posix_spawnp(&child, "cat", &actions, nullptr, argv, environ) != 0 ||
            ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("cat failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(gOptions.logBytes));
}

void releaseLogModule() { gLogModule.reset(); }

} // namespace zorbench
