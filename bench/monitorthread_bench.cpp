// Benchmark of the monitor thread (zormonitorbench).
//
//   zormonitorbench [--entries=10000] [--ticks=20] [--cpu-entries=1000] [--cpu-seconds=10]
//
// 1. One tick over --entries entries (one trigger each, "seconds 1"), on a
//    virtual clock, against the cost of only reading the same samples (the
//    first line of one small file per variable). The ratio says what
//    evaluation, state and bookkeeping add on top of the reads. Ticks and
//    reads alternate, so that both see the same machine.
// 2. Evaluation alone: the same tick with variables that answer from memory
//    (host samplers), so what is measured is everything but the reads.
//    Target: under 10 ms for 10,000 entries.
// 3. The running thread's CPU share with --cpu-entries entries sampled every
//    second on the real clock for --cpu-seconds seconds.
// Everything lives in a temporary root (ZOR_ROOT) that is removed at the end.
#include "monitorthread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::time_t gNow = 1772445600;

class SteppedClock : public zormon::MonitorClock {
public:
    std::time_t now() const override { return gNow; }
};

long option(int argc, char** argv, const std::string& name, long fallback)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--" + name + "=", 0) == 0) {
            return std::atol(arg.c_str() + name.size() + 3);
        }
    }
    return fallback;
}

/// Writes n file variables and a Monitor.cfg of n entries, one trigger each.
void writeInstallation(const fs::path& root, long n)
{
    fs::create_directories(root / "etc/configs/monitor");
    fs::create_directories(root / "data");
    std::ofstream variables(root / "etc/configs/monitor/variables.conf");
    std::ofstream config(root / "etc/configs/monitor/Monitor.cfg");
    config << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>\n";
    for (long i = 0; i < n; ++i) {
        const std::string name = "v" + std::to_string(i);
        std::ofstream(root / "data" / name) << (i % 97) << "\n";
        variables << name << " file /data/" << name << "\n";
        config << "<monitor-entry variable=\"" << name << "\" log=\"false\"><frequency><seconds>1</seconds>"
               << "</frequency><action-trigger value-type=\"instantaneous\" permanent=\"false\">"
               << "<single-value comparison=\"greater-than\" value=\"1000\"/><action max-frequency=\"60\"><log/>"
               << "</action></action-trigger></monitor-entry>\n";
    }
    config << "</monitor-config>\n";
}

double elapsed(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const long entries = option(argc, argv, "entries", 10000);
    const long ticks = std::max(1L, option(argc, argv, "ticks", 20));
    const long cpuEntries = option(argc, argv, "cpu-entries", 1000);
    const long cpuSecondsWanted = std::max(1L, option(argc, argv, "cpu-seconds", 10));
    char pattern[] = "/tmp/zormonbench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    setenv("ZOR_ROOT", root.c_str(), 1);

    // 1. One tick against the reads alone.
    writeInstallation(root, entries);
    {
        zormon::MonitorThreadOptions options;
        options.clock = std::make_shared<SteppedClock>();
        options.interval = 60;
        options.hostLog = [](const std::string& text) { std::fprintf(stderr, "monitor-thread: %s\n", text.c_str()); };
        zormon::MonitorThread thread(options);
        thread.tick(); // loads the configuration and takes the first samples
        std::vector<std::string> ignoredProblems;
        std::ifstream conf(root / "etc/configs/monitor/variables.conf");
        const std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
        const std::vector<zormon::VariableDefinition> readers = zormon::definedVariables(text, 5000, &ignoredProblems);
        std::vector<double> tickTimes;
        std::vector<double> readTimes;
        for (long i = 0; i < ticks; ++i) {
            ++gNow;
            auto start = std::chrono::steady_clock::now();
            thread.tick();
            tickTimes.push_back(elapsed(std::chrono::steady_clock::now() - start));
            start = std::chrono::steady_clock::now();
            std::string value;
            for (const zormon::VariableDefinition& reader : readers) {
                reader.read(&value);
            }
            readTimes.push_back(elapsed(std::chrono::steady_clock::now() - start));
        }
        const double tick = median(tickTimes);
        const double read = median(readTimes);
        std::printf("one tick of %ld entries: %.1f ms; reading the samples alone: %.1f ms; "
                    "tick / reads = %.2f (evaluation and bookkeeping add %.0f%%); samples taken: %lu\n",
                    entries, tick * 1e3, read * 1e3, tick / read, (tick - read) / read * 100.0,
                    thread.status().samples);
    }
    {
        // 2. The same entries, their values from memory: no reads at all.
        zormon::MonitorThreadOptions options;
        options.clock = std::make_shared<SteppedClock>();
        options.interval = 60;
        options.hostLog = [](const std::string& text) { std::fprintf(stderr, "monitor-thread: %s\n", text.c_str()); };
        for (long i = 0; i < entries; ++i) {
            const std::string value = std::to_string(i % 97);
            options.samplers["v" + std::to_string(i)] = [value](std::string* out) {
                *out = value;
                return true;
            };
        }
        zormon::MonitorThread thread(options);
        thread.tick();
        std::vector<double> tickTimes;
        for (long i = 0; i < ticks; ++i) {
            ++gNow;
            const auto start = std::chrono::steady_clock::now();
            thread.tick();
            tickTimes.push_back(elapsed(std::chrono::steady_clock::now() - start));
        }
        std::printf("evaluation alone (values from memory), one tick of %ld entries: %.1f ms "
                    "(target: under 10 ms for 10,000); samples taken: %lu\n",
                    entries, median(tickTimes) * 1e3, thread.status().samples);
    }

    // 3. CPU share of the running thread on the real clock.
    fs::remove_all(root / "data");
    fs::remove_all(root / "etc");
    writeInstallation(root, cpuEntries);
    {
        zormon::MonitorThreadOptions options;
        options.interval = 60;
        zormon::MonitorThread thread(options);
        const double cpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        thread.start();
        std::this_thread::sleep_for(std::chrono::seconds(cpuSecondsWanted));
        thread.stop();
        const double wall = elapsed(std::chrono::steady_clock::now() - start);
        const double cpu = cpuSeconds() - cpuBefore;
        std::printf("running thread, %ld entries every second for %.1f s: %.3f s CPU = %.2f%% of one core; "
                    "samples taken: %lu\n",
                    cpuEntries, wall, cpu, cpu / wall * 100.0, thread.status().samples);
    }
    fs::remove_all(root);
    return 0;
}
