// zorhostd's throughput and latency: requests per second for a get of one
// monitor entry through the daemon's socket, with 1 and with 16 clients,
// against a floor measured in the same run: a bare socket ping-pong of the
// same request and reply bytes (pingpong.h), 1 and 16 clients. The same
// request sent in process through a HostSession, the way zorhost sends it,
// is shown for orientation. Prints one row per path and whether the targets
// hold: 1 client's round trip at most 1.5 times the ping-pong's; 16 clients
// at least 0.8 times the ping-pong's requests/s with 16 clients; with 16
// clients no client's 99th percentile above 10 times the median of all
// requests. The 1-client rows of the daemon and of the ping-pong are
// measured twice: where the scheduler puts client and server, and with both
// on one CPU, each compared with its like. Last, a
// script of 10,000 gets run by zorhost's own loop, in process and sent
// ahead through the socket (scriptpipe.h), with the target that the socket
// keeps at least half the in-process rate.
//
// The echo server serves each connection on its own thread, as zorhostd
// does: every request then wakes one thread on each side, the least a
// daemon whose sessions each run on their own thread can pay. A poll loop
// would answer several clients' lines per wake-up, which a daemon that
// runs module calls one session at a time on the session's thread cannot.
//
//   zorhostd_bench [--seconds S]    (each phase runs S seconds; default 3)
//
// It starts its own zorhostd (beside this program) on a temporary root.
#include "hostsession.h"
#include "modulelibrary.h"
#include "pingpong.h"
#include "remotesession.h"
#include "replyformat.h"
#include "scriptpipe.h"
#include "scriptrun.h"
#include "request.h"

#include "zorglobals.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kEntryKey = "/zor/public/system/monitor/config/monitor-entry/0/";
const char* const kConfig =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>"
    "<monitor-entry variable=\"cpu-load\" log=\"true\"><frequency><seconds>60</seconds></frequency>"
    "<action-trigger value-type=\"average\" permanent=\"false\"><single-value comparison=\"greater-than\" "
    "value=\"50\"/><action max-frequency=\"3600\"><log/></action></action-trigger></monitor-entry>"
    "</monitor-config>\n";

struct Phase {
    double perSecond = 0;
    std::vector<double> latencies; ///< microseconds, all clients
    double worstClientP99 = 0;     ///< microseconds
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

HostRequest entryRequest()
{
    return *makeRequest("get", std::string(kEntryKey), std::nullopt);
}

/// Runs send() from each of `clients` threads for `seconds`; send returns false on failure.
template <typename MakeClient>
Phase measure(int clients, double seconds, MakeClient makeClient)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<bool> failed{false};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    Clock::time_point start;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            auto send = makeClient();
            ++ready;
            while (!go.load()) {
                std::this_thread::yield();
            }
            auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            for (Clock::time_point now = Clock::now(); now < end && !failed.load();) {
                if (!send()) {
                    failed = true;
                    break;
                }
                Clock::time_point after = Clock::now();
                latencies[static_cast<size_t>(i)].push_back(std::chrono::duration<double, std::micro>(after - now).count());
                now = after;
            }
        });
    }
    while (ready.load() < clients) {
        std::this_thread::yield();
    }
    start = Clock::now();
    go = true;
    for (std::thread& t : threads) {
        t.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Phase phase;
    if (failed.load()) {
        std::fprintf(stderr, "zorhostd_bench: a request failed\n");
        std::exit(1);
    }
    for (const auto& own : latencies) {
        phase.worstClientP99 = std::max(phase.worstClientP99, percentile(own, 0.99));
        phase.latencies.insert(phase.latencies.end(), own.begin(), own.end());
    }
    phase.perSecond = static_cast<double>(phase.latencies.size()) / elapsed;
    return phase;
}

/// Runs the calling thread (and what it starts from now on) on the first CPU it may use.
void pinToFirstCpu()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return;
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof one, &one);
            return;
        }
    }
}

void printRow(const char* path, int clients, const Phase& p, double floor)
{
    double median = percentile(p.latencies, 0.5);
    std::printf("%-26s %7d %12.0f %7.2fx %9.1f %9.1f %14.1fx\n", path, clients, p.perSecond, p.perSecond / floor,
                median, percentile(p.latencies, 0.99), median > 0 ? p.worstClientP99 / median : 0.0);
}

/// Takes every character and keeps none: a script's output, which the
/// script rows do not print.
class DiscardBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

constexpr int kScriptGets = 10000;

/// Requests per second of the best of three runs of a script of
/// kScriptGets gets, run by runScript as zorhost runs a script.
template <typename RunScript>
double scriptRate(RunScript runScript)
{
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        Clock::time_point start = Clock::now();
        if (runScript() != kExitOk) {
            std::fprintf(stderr, "zorhostd_bench: a script failed\n");
            std::exit(1);
        }
        best = std::max(best, kScriptGets / std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: zorhostd_bench [--seconds S]\n");
            return 2;
        }
    }
    fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    std::string pattern = (fs::temp_directory_path() / "zorhostd-bench.XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        return 1;
    }
    fs::path root = pattern;
    fs::create_directories(root / "etc/configs/monitor");
    std::ofstream(root / "etc/configs/monitor/Monitor.cfg") << kConfig;
    setenv("ZOR_ROOT", root.c_str(), 1);
    const HostRequest request = entryRequest();
    // Both paths write the module's log lines to a file, as zorhost --log and zorhostd --log do.
    std::filebuf inProcessLog;
    inProcessLog.open((root / "in-process.log").string(), std::ios::out | std::ios::app);
    std::streambuf* standardLog = zor_logstream.rdbuf(&inProcessLog);

    // In process: one HostSession, as zorhost (and each zorhostd session) uses it.
    ModuleLibrary module;
    if (zor::Expected<void> loaded = module.load((bin / "libmonitor.so").string()); !loaded) {
        std::fprintf(stderr, "zorhostd_bench: %s\n", loaded.error().c_str());
        return 1;
    }
    Phase inProcess;
    double scriptInProcess = 0;
    double scriptSocket = 0;
    std::vector<HostRequest> script(kScriptGets, request);
    for (size_t i = 0; i < script.size(); ++i) {
        script[i].line = static_cast<int>(i + 1);
    }
    DiscardBuffer discard;
    std::ostream nowhere(&discard);
    std::string requestBytes; // the get's line and its reply line, as the socket carries them
    std::string replyBytes;
    {
        HostSession session(module, 1024);
        std::optional<EscapedException> thrown;
        if (!session.captureStdout() || session.open(&thrown) != 0) {
            std::fprintf(stderr, "zorhostd_bench: the in-process session did not open\n");
            return 1;
        }
        inProcess = measure(1, seconds, [&] {
            return [&] { return session.run(request).result == 0; };
        });
        std::string error;
        requestLine(request, &requestBytes, &error);
        requestBytes += '\n';
        replyBytes = jsonLine(request, session.run(request), true) + '\n';
        RequestRunner run = [&session](const HostRequest& r) { return session.run(r); };
        scriptInProcess = scriptRate([&] { return runRequests(script, run, ScriptRunOptions{}, nowhere, nowhere); });
    }
    zor_logstream.rdbuf(standardLog);

    // The floor: the same bytes over the same kind of socket, and nothing else.
    Phase pingPong;
    Phase pingPong16;
    Phase pingPongOneCpu;
    // On one CPU too, as the daemon's second row: threads inherit the CPUs
    // of the thread that makes them, so the echo server's and the clients'
    // threads all stay on the first CPU.
    auto runPingPong = [&](bool oneCpu) {
        if (oneCpu) {
            pinToFirstCpu();
        }
        EchoServer echo(replyBytes);
        std::string socket = (root / (oneCpu ? "echo-pinned.sock" : "echo.sock")).string();
        if (!echo.start(socket)) {
            std::fprintf(stderr, "zorhostd_bench: the echo server did not start\n");
            std::exit(1);
        }
        auto echoClient = [&socket, &requestBytes] {
            auto client = std::make_shared<EchoClient>();
            if (!client->open(socket)) {
                std::fprintf(stderr, "zorhostd_bench: cannot reach the echo server\n");
                std::exit(1);
            }
            return [client, &requestBytes] { return client->roundTrip(requestBytes); };
        };
        if (oneCpu) {
            pingPongOneCpu = measure(1, seconds, echoClient);
        } else {
            pingPong = measure(1, seconds, echoClient);
            pingPong16 = measure(16, seconds, echoClient);
        }
    };
    runPingPong(false);
    std::thread(runPingPong, true).join();

    // The daemon runs twice: once where the scheduler puts it, once with
    // client and daemon on one CPU. On a virtual machine a request that
    // wakes a process on an idle CPU pays that CPU's wake-up, which can be
    // several times the request itself; the second row shows the path
    // without it.
    auto runDaemon = [&](bool oneCpu, int clients, Phase* sixteen) {
        std::string socket = (root / (oneCpu ? "pinned.sock" : "zorhostd.sock")).string();
        std::string log = (root / "zorhostd.log").string();
        pid_t daemon = fork();
        if (daemon == 0) {
            if (oneCpu) {
                pinToFirstCpu();
            }
            std::string exe = (bin / "zorhostd").string();
            execl(exe.c_str(), exe.c_str(), "--foreground", "--root", root.c_str(), "--socket", socket.c_str(),
                  "--log", log.c_str(), "--lock-wait", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        RemoteSession probe(socket);
        for (int waited = 0;; waited += 50) {
            zor::Expected<void> opened = probe.open();
            if (opened) {
                break;
            }
            if (waited > 60000 || waitpid(daemon, nullptr, WNOHANG) == daemon) {
                std::fprintf(stderr, "zorhostd_bench: zorhostd did not start: %s\n", opened.error().c_str());
                std::exit(1);
            }
            poll(nullptr, 0, 50);
        }
        probe.close();
        auto remoteClient = [&socket, &request, oneCpu] {
            if (oneCpu) {
                pinToFirstCpu();
            }
            auto session = std::make_shared<RemoteSession>(socket);
            if (zor::Expected<void> opened = session->open(); !opened) {
                std::fprintf(stderr, "zorhostd_bench: %s\n", opened.error().c_str());
                std::exit(1);
            }
            return [session, &request] { return session->run(request).result == 0; };
        };
        Phase phase = measure(clients, seconds, remoteClient);
        if (sixteen != nullptr) {
            *sixteen = measure(16, seconds, remoteClient);
            scriptSocket = scriptRate([&] {
                RemoteSession remote(socket);
                if (zor::Expected<void> opened = remote.open(); !opened) {
                    return kExitUsage;
                }
                ScriptSource source;
                source.requests = script;
                return runPipelined(remote, std::move(source), ScriptRunOptions{}, nowhere, nowhere);
            });
        }
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
        return phase;
    };
    Phase sixteen;
    Phase one = runDaemon(false, 1, &sixteen);
    Phase oneCpu = runDaemon(true, 1, nullptr);
    fs::remove_all(root);

    std::printf("get of one monitor entry (%s), %.0f s per row\n", kEntryKey, seconds);
    std::printf("%-26s %7s %12s %8s %9s %9s %15s\n", "path", "clients", "requests/s", "vs floor", "p50 us", "p99 us",
                "worst p99/p50");
    printRow("in process", 1, inProcess, pingPong.perSecond);
    printRow("socket ping-pong (floor)", 1, pingPong, pingPong.perSecond);
    printRow("socket ping-pong (floor)", 16, pingPong16, pingPong16.perSecond);
    printRow("socket ping-pong, one CPU", 1, pingPongOneCpu, pingPong.perSecond);
    printRow("zorhostd socket", 1, one, pingPong.perSecond);
    printRow("zorhostd socket, one CPU", 1, oneCpu, pingPong.perSecond);
    printRow("zorhostd socket", 16, sixteen, pingPong16.perSecond);
    // A round trip is the mean time per request of the one client.
    double roundTrip = pingPong.perSecond / one.perSecond;
    double throughput = sixteen.perSecond / pingPong16.perSecond;
    double spread = sixteen.worstClientP99 / percentile(sixteen.latencies, 0.5);
    std::printf("target 1 client's round trip <= 1.5x the ping-pong's: %s (%.2fx; on one CPU %.2fx the ping-pong on "
                "one CPU)\n",
                roundTrip <= 1.5 ? "met" : "NOT met", roundTrip, pingPongOneCpu.perSecond / oneCpu.perSecond);
    std::printf("target 16 clients' requests/s >= 0.8x the ping-pong's with 16 clients: %s (%.2fx)\n",
                throughput >= 0.8 ? "met" : "NOT met", throughput);
    std::printf("target 16 clients, every client's p99 <= 10x the median: %s (%.1fx)\n",
                spread <= 10 ? "met" : "NOT met", spread);
    std::printf("script of %d gets, best of 3: in process %.0f requests/s, through the socket %.0f requests/s\n",
                kScriptGets, scriptInProcess, scriptSocket);
    std::printf("target script through the socket >= 0.5x in process: %s (%.2fx)\n",
                scriptSocket >= 0.5 * scriptInProcess ? "met" : "NOT met", scriptSocket / scriptInProcess);
    return 0;
}
