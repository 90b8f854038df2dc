// The monitor thread as the daemon runs it, on a virtual clock with fake and
// fixture samplers, against the monitoring log, snmptrapd, a silent SMTP
// server and programs that print, fail or hang.
#include "monitorthread.h"
#include "zorMonitorVariable.h"
#include "zormonitor_host.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zormon;

namespace {

// The host's wiring of the module's variable keys and commits to a thread.
zormonitor::ThreadServices servicesOf(MonitorThread& thread)
{
    zormonitor::ThreadServices services;
    services.currentValue = [&thread](const std::string& name, std::string* value) {
        return thread.currentValue(name, value);
    };
    services.variables = [&thread] { return thread.variables(); };
    services.configurationChanged = [&thread] { thread.configurationChanged(); };
    return services;
}

std::time_t gNow = 0;

class VirtualClock : public MonitorClock {
public:
    std::time_t now() const override { return gNow; }
};

using zortest::eventually;

std::string entry(const std::string& variable, const std::string& triggers, const std::string& freq = "<seconds>1</seconds>")
{
    return "<monitor-entry variable=\"" + variable + "\" log=\"true\"><frequency>" + freq + "</frequency>" +
           triggers + "</monitor-entry>";
}

std::string trigger(const std::string& condition, const std::string& action, const std::string& attributes = "")
{
    return "<action-trigger " + attributes + ">" + condition + "<action " + action + "</action></action-trigger>";
}

const char* const kOver50 = "<single-value comparison=\"greater-than\" value=\"50\"/>";

class MonitorThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZOR_ROOT", _root.path().c_str(), 1);
        setenv("TZ", "UTC", 1);
        tzset();
        gNow = 1772445600; // 2026-03-02 10:00:00 UTC
        for (const char* file : {"proc/loadavg", "proc/meminfo", "proc/uptime", "proc/stat", "proc/net/dev",
                                 "sys/class/hwmon/hwmon0/temp1_input", "sys/class/thermal/thermal_zone0/temp"}) {
            _root.copyData(std::string("monitor-thread/") + file, std::string("machine/") + file);
        }
    }
    void TearDown() override
    {
        zormonitor::setThreadServices({});
        unsetenv("ZOR_ROOT");
    }
    MonitorThreadOptions options()
    {
        MonitorThreadOptions o;
        o.clock = std::make_shared<VirtualClock>();
        o.systemRoot = _root.at("machine");
        o.interval = 10;
        o.programTimeoutMs = 500;
        o.allowDrasticCommands = false;
        o.hostLog = [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(_hostMutex);
            _host += text + "\n";
        };
        o.udpPost = [this](const char* text) {
            _udp.push_back(text);
            return 0;
        };
        for (const char* name : {"a", "b", "temp"}) {
            o.samplers[name] = [this, name](std::string* value) {
                *value = _values[name];
                return !value->empty();
            };
        }
        o.mail.attempts = 1;
        return o;
    }
    void writeConfig(const std::string& entries)
    {
        _root.write("etc/configs/monitor/Monitor.cfg",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>" + entries + "</monitor-config>\n");
    }
    std::string todayLog() const
    {
        const std::string path = _root.at("var/log/monitor/" + dayLogName(gNow));
        return zortest::fileExists(path) ? zortest::readFile(path) : "";
    }
    std::string host()
    {
        std::lock_guard<std::mutex> lock(_hostMutex);
        return _host;
    }
    bool hostSays(const std::string& text) { return host().find(text) != std::string::npos; }

    zortest::TempRoot _root;
    std::map<std::string, std::string> _values;
    std::vector<std::string> _udp;
    std::mutex _hostMutex;
    std::string _host;
};

} // namespace

// Mail and the host's UDP thread through the running daemon are in monitordaemon_test.cpp.
TEST_F(MonitorThreadTest, LogAndUdpCarryWhatEachActionAsksFor)
{
    writeConfig(entry("temp", trigger(kOver50, "max-frequency=\"0\"><log/><udp/>")) +
                entry("b", trigger("<value-changes/>", "><udp/>")));
    MonitorThread thread(options());
    _values = {{"temp", "40"}, {"b", "disk ok"}};
    thread.tick();
    ++gNow;
    _values = {{"temp", "60"}, {"b", "disk \"2\" failed"}};
    thread.tick();

    // b has no <log/>, so no alert line of its own.
    EXPECT_EQ("2026-03-02 10:00:00 sample temp=40\n"
              "2026-03-02 10:00:00 sample b=\"disk ok\"\n"
              "2026-03-02 10:00:01 sample temp=60\n"
              "2026-03-02 10:00:01 alert temp=60 exceeds 50\n"
              "2026-03-02 10:00:01 sample b=\"disk \\\"2\\\" failed\"\n",
              todayLog());
    EXPECT_EQ((std::vector<std::string>{"temp=60 exceeds 50", "b=\"disk \\\"2\\\" failed\" changed"}), _udp);
}

TEST_F(MonitorThreadTest, TrapReachesSnmptrapdWithNames)
{
#ifndef ZOR_HAVE_NETSNMP
    GTEST_SKIP() << "built without Net-SNMP (Debian package libsnmp-dev)";
#endif
    if (access("/usr/sbin/snmptrapd", X_OK) != 0) {
        GTEST_SKIP() << "snmptrapd is not installed (Debian package snmptrapd)";
    }
    int port = 0;
    close(zortest::loopbackSocket(SOCK_DGRAM, &port));
    _root.write("snmp/snmptrapd.conf", "disableAuthorization yes\n");
    const std::string conf = _root.at("snmp/snmptrapd.conf");
    const std::string log = _root.at("snmp/traps.log");
    const std::string listen = "udp:127.0.0.1:" + std::to_string(port);
    const std::string persistent = _root.at("snmp");
    const pid_t receiver = fork();
    if (receiver == 0) {
        setenv("SNMP_PERSISTENT_DIR", persistent.c_str(), 1);
        execl("/usr/sbin/snmptrapd", "snmptrapd", "-f", "-C", "-c", conf.c_str(), "-Lf", log.c_str(), "-M",
              "+" ZOR_MIB_DIR, "-m", "ZOR-MONITOR-MIB", listen.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto logged = [&](const char* text) {
        return zortest::fileExists(log) && zortest::readFile(log).find(text) != std::string::npos;
    };
    ASSERT_TRUE(eventually([&] { return logged("NET-SNMP version"); })) << "snmptrapd did not start";

    _root.write("etc/configs/monitor/snmp.conf", "# receivers\ntrap-sink 127.0.0.1:" + std::to_string(port) +
                                                     " public\ntrap-sink nonsense\n");
    writeConfig(entry("temp", trigger(kOver50, "><trap/>")));
    MonitorThread thread(options());
    _values["temp"] = "75";
    thread.tick();
    EXPECT_TRUE(eventually([&] { return logged("temp=75 exceeds 50"); })) << zortest::readFile(log);
    kill(receiver, SIGTERM);
    waitpid(receiver, nullptr, 0);
    const std::string traps = zortest::readFile(log);
    for (const char* text : {"ZOR-MONITOR-MIB::zorMonitorAlert", "ZOR-MONITOR-MIB::zorMonitorVariable.0 = STRING: \"temp\"",
                             "ZOR-MONITOR-MIB::zorMonitorValue.0 = STRING: \"75\"",
                             "ZOR-MONITOR-MIB::zorMonitorDescription.0 = STRING: \"exceeds 50\""}) {
        EXPECT_NE(std::string::npos, traps.find(text)) << text << "\n" << traps;
    }
    EXPECT_EQ(1u, thread.status().trapsSent);
    EXPECT_TRUE(hostSays("snmp.conf line 3")) << host();
}

TEST_F(MonitorThreadTest, MissedSchedulesSampleOnceAndClockJumpsRestartThem)
{
    writeConfig(entry("a", "", "<seconds>10</seconds>"));
    MonitorThread thread(options());
    _values["a"] = "1";
    const auto samplesAfter = [&](std::time_t seconds) {
        const unsigned long before = thread.status().samples;
        for (std::time_t end = gNow + seconds; gNow < end; ++gNow) {
            thread.tick();
        }
        return thread.status().samples - before;
    };
    EXPECT_EQ(3u, samplesAfter(30));
    gNow += 100000; // a suspend: one sample, not ten thousand
    EXPECT_EQ(1u, samplesAfter(1));
    gNow -= 86400; // the clock went back a day: sampling goes on within one period
    EXPECT_EQ(1u, samplesAfter(10));
    EXPECT_TRUE(hostSays("the clock went back")) << host();
    _values["a"] = ""; // unavailable: no sample, no log line
    const std::string log = todayLog();
    EXPECT_EQ(0u, samplesAfter(30));
    EXPECT_EQ(log, todayLog());
    EXPECT_EQ(3u, thread.status().unavailable);
}

TEST_F(MonitorThreadTest, ReloadKeepsUnchangedEntriesAndABadFileIsNamedWithItsReason)
{
    const std::string aEntry = entry("a", trigger(kOver50, "max-frequency=\"3600\"><udp/>", "permanent=\"true\""));
    writeConfig(aEntry + entry("b", trigger(kOver50, "max-frequency=\"3600\"><udp/>", "permanent=\"true\"")));
    MonitorThread thread(options());
    _values = {{"a", "60"}, {"b", "60"}};
    thread.tick();
    EXPECT_EQ((std::vector<std::string>{"a=60 exceeds 50", "b=60 exceeds 50"}), _udp);

    // Committing a change to b re-sends nothing of a inside its repeat limit.
    writeConfig(aEntry + entry("b", trigger("<single-value comparison=\"greater-than\" value=\"55\"/>",
                                            "max-frequency=\"3600\"><udp/>", "permanent=\"true\"")));
    zormonitor::setThreadServices(servicesOf(thread));
    ZORmonitorThread::setConfigurationChanged(); // what the module calls after a commit
    ++gNow;
    _udp.clear();
    thread.tick();
    EXPECT_EQ(std::vector<std::string>{"b=60 exceeds 55"}, _udp);

    // A bad file is named with the parser's reason, in the host log and the status.
    const std::string file = _root.at("etc/configs/monitor/Monitor.cfg");
    _root.write("etc/configs/monitor/Monitor.cfg", "<monitor-config><monitor-entry");
    thread.configurationChanged();
    ++gNow;
    thread.tick();
    EXPECT_EQ(2u, thread.status().entries);
    const std::string problem = thread.status().configurationProblem;
    EXPECT_EQ(0u, problem.find(file + ": Parsing errors occurred: line 1, column ")) << problem;
    EXPECT_TRUE(hostSays("cannot load " + problem + "; the last good configuration stays (2 entries)")) << host();

    writeConfig(aEntry); // the next good file loads: one bad file does not poison later loads
    thread.configurationChanged();
    ++gNow;
    thread.tick();
    EXPECT_EQ(1u, thread.status().entries);
    EXPECT_EQ("", thread.status().configurationProblem);
    EXPECT_TRUE(hostSays("took up 1 entry from " + file)) << host();

    // Deep nesting around the entries: cut off, a thread starting on it says
    // so; whole, it is taken up like any other file.
    std::string deep;
    std::string undo;
    for (int i = 0; i < 20000; ++i) {
        deep += "<g>";
        undo += "</g>";
    }
    _root.write("etc/configs/monitor/Monitor.cfg", "<monitor-config>" + deep + aEntry);
    MonitorThread fresh(options());
    fresh.tick();
    EXPECT_EQ(0u, fresh.status().entries);
    EXPECT_NE(std::string::npos, fresh.status().configurationProblem.find("input ended before all started tags"));
    EXPECT_TRUE(hostSays("no entry is watched until a configuration loads")) << host();
    _root.write("etc/configs/monitor/Monitor.cfg", "<monitor-config>" + deep + aEntry + undo + "</monitor-config>");
    fresh.configurationChanged();
    fresh.tick();
    EXPECT_EQ(1u, fresh.status().entries);
    EXPECT_EQ("", fresh.status().configurationProblem);
}

TEST_F(MonitorThreadTest, VariablesFromTheMachineFilesAndPrograms)
{
    _root.write("bin/answer", "#!/bin/sh\necho ' 42 '\necho second line\n");
    _root.write("bin/fail", "#!/bin/sh\necho 7\nexit 3\n");
    _root.write("bin/hang", "#!/bin/sh\nsleep 30\n");
    for (const char* program : {"bin/answer", "bin/fail", "bin/hang"}) {
        chmod(_root.at(program).c_str(), 0755);
    }
    _root.write("run/state", "disk ok\nignored\n");
    ASSERT_EQ(0, mkfifo(_root.at("run/pipe").c_str(), 0600)); // no writer ever: a blocking open would never return
    _root.write("etc/configs/monitor/variables.conf", "# administrator's variables\n"
                                                      "answer program /bin/answer --flag\n"
                                                      "failing program /bin/fail\n"
                                                      "hanging program /bin/hang   # killed after the timeout\n"
                                                      "state file /run/state\n"
                                                      "gone file /run/missing\n"
                                                      "data free-space /run\n"
                                                      "answer file /run/state\n"
                                                      "broken shell echo hi\n"
                                                      "pipe file /run/pipe\n");
    writeConfig(entry("hanging", "") + entry("a", ""));
    MonitorThread thread(options());
    zormonitor::setThreadServices(servicesOf(thread));
    struct Row {
        std::string name;
        int result;
        std::string value; ///< "*" any number; "" unchecked
    };
    const std::vector<Row> rows = {
        {"answer", 0, "42"},           {"failing", kValueUnavailable, ""}, {"hanging", kValueUnavailable, ""},
        {"state", 0, "disk ok"},       {"gone", kValueUnavailable, ""},    {"data", 0, "*"},
        {"nosuch", kUnknownVariable, ""}, {"load-average", 0, "0.42"},    {"memory-available", 0, "8000"},
        {"uptime", 0, "100"},          {"process-count", 0, "345"},        {"cpu", 0, "40.0"},
        {"swap-used", 0, "1024"},      {"temperature", 0, "47.3"},          {"network-rx-rate", kValueUnavailable, ""},
        {"network-tx-rate", kValueUnavailable, ""},
        {"pipe", kValueUnavailable, _root.at("run/pipe") + " has nothing to read without waiting (a FIFO without a "
                                                            "writer, or a device without data)"},
    };
    for (const Row& row : rows) {
        std::string name = row.name;
        std::string value;
        EXPECT_EQ(row.result, ZORmonitorThread::getCurrentValue(&name, &value)) << row.name << ": " << value;
        if (!row.value.empty() && row.value != "*") {
            EXPECT_EQ(row.value, value) << row.name;
        }
    }
    EXPECT_TRUE(hostSays("variables.conf line 8: answer is already defined")) << host();
    EXPECT_TRUE(hostSays("variables.conf line 9: expected NAME")) << host();
    std::string list;
    ZORmonitorThread::getVariableList(&list);
    for (const char* name : {",answer,", ",network-tx-rate,", ",state,", ",swap-used,", ",temperature"}) {
        EXPECT_NE(std::string::npos, ("," + list + ",").find(name)) << name << " in " << list;
    }

    // Rates: bytes per second between two readings, loopback left out; a
    // commit between the two keeps the first reading.
    thread.configurationChanged();
    thread.tick();
    _root.write("machine/proc/net/dev", zortest::readFile(_root.at("machine/proc/net/dev")) +
                                            "  eth2:   10000 1 0 0 0 0 0 0   400 1 0 0 0 0 0 0\n");
    gNow += 10;
    std::string rx;
    std::string tx;
    EXPECT_EQ(0, thread.currentValue("network-rx-rate", &rx));
    EXPECT_EQ(0, thread.currentValue("network-tx-rate", &tx));
    EXPECT_EQ("1000", rx);
    EXPECT_EQ("40", tx);

    // A hanging program holds nothing up: the other entry is sampled at once.
    _values["a"] = "5";
    thread.tick();
    EXPECT_EQ(1u, thread.status().samples);
    std::string name = "a";
    std::string value;
    EXPECT_EQ(0, ZORmonitorThread::getCurrentValue(&name, &value));
    EXPECT_EQ("5", value);
}

TEST_F(MonitorThreadTest, ProgramsRunBesideTheTickOneCopyAtATime)
{
    _root.write("bin/slow", "#!/bin/sh\necho started >> \"$0.starts\"\nsleep 30\n"); // outlives its timeout
    _root.write("bin/answer", "#!/bin/sh\necho 42\n");
    for (const char* program : {"bin/slow", "bin/answer"}) {
        chmod(_root.at(program).c_str(), 0755);
    }
    _root.write("etc/configs/monitor/variables.conf", "slow program /bin/slow\nanswer program /bin/answer\n");
    writeConfig(entry("slow", "") + entry("slow", "", "<seconds>5</seconds>") + entry("answer", "") + entry("a", ""));
    MonitorThread thread(options());
    _values["a"] = "1";
    thread.tick();
    EXPECT_EQ(1u, thread.status().samples) << "only a: the programs' answers come to a later tick";

    // The variable key waits for the run under way rather than starting another.
    std::string value;
    EXPECT_EQ(kValueUnavailable, thread.currentValue("slow", &value));
    const std::string timedOut = "slow: no value: " + _root.at("bin/slow") +
                                 " did not finish within its 500 ms timeout and was killed";
    EXPECT_EQ(timedOut.substr(std::string("slow: no value: ").size()), value);
    ASSERT_TRUE(eventually([&] {
        thread.tick();
        return thread.status().unavailable == 2 && todayLog().find(" sample answer=42\n") != std::string::npos;
    })) << host() << todayLog();
    // On a loaded machine the one copy may be killed at its timeout before
    // its shell got to the first line; two lines would be two copies.
    const std::string starts = std::filesystem::exists(_root.at("bin/slow.starts"))
                                   ? zortest::readFile(_root.at("bin/slow.starts"))
                                   : std::string();
    EXPECT_TRUE(starts.empty() || starts == "started\n") << "one copy for both entries and the key: " << starts;
    const std::string log = host();
    EXPECT_NE(std::string::npos, log.find(timedOut)) << log;
    EXPECT_EQ(log.find("slow: no value"), log.rfind("slow: no value")) << "said once for both entries";
}

TEST_F(MonitorThreadTest, SilentMailServerAndUnwritableLogDoNotStopSampling)
{
    int port = 0;
    const int silent = zortest::loopbackSocket(SOCK_STREAM, &port);
    ASSERT_TRUE(silent >= 0 && listen(silent, 4) == 0); // accepts connections, never greets
    _root.write("var/log/monitor", "a file where the folder should be");
    writeConfig(entry("temp", trigger(kOver50, "><email>ops@example.test</email><log/><udp/>", "permanent=\"true\"")));
    MonitorThreadOptions o = options();
    o.mail.server = "127.0.0.1";
    o.mail.port = port;
    o.mail.timeoutSeconds = 1;
    MonitorThread thread(o);
    _values["temp"] = "70";
    for (int i = 0; i < 5; ++i, ++gNow) {
        thread.tick();
    }
    EXPECT_EQ(5u, thread.status().samples);
    EXPECT_EQ(5u, _udp.size());
    using Alerts = std::map<std::pair<std::string, std::string>, unsigned long>;
    EXPECT_EQ((Alerts{{{"temp", "email"}, 5}, {{"temp", "log"}, 5}, {{"temp", "udp"}, 5}}), thread.status().alerts);
    EXPECT_EQ(5u, thread.status().actionFailures["log"]);
    EXPECT_TRUE(eventually([&] { return hostSays("; given up"); })) << host();
    close(silent);
    EXPECT_TRUE(hostSays("failed (attempt 1 of 1): Sending email failed: no answer from 127.0.0.1:" +
                         std::to_string(port) + " within 1 s; given up"))
        << host();
    const std::string log = host();
    const size_t first = log.find("cannot write the monitoring log");
    EXPECT_NE(std::string::npos, first) << log;
    EXPECT_EQ(std::string::npos, log.find("cannot write the monitoring log", first + 1)) << "reported once";
}

TEST_F(MonitorThreadTest, ShutdownWaitsForItsDelayAndARecoveryCancelsIt)
{
    const std::string drastic = "><shutdown/><power-off-drive/>";
    writeConfig(entry("temp", trigger(kOver50, drastic)));
    _root.write("etc/configs/monitor/actions.conf", "delay 30\nboot-grace 60\npower-off-drive /bin/drive-off --now\n");
    MonitorThread thread(options());
    const auto run = [&](const char* value, int seconds) {
        _values["temp"] = value;
        for (int i = 0; i < seconds; ++i, ++gNow) {
            thread.tick();
        }
    };
    run("90", 10);
    EXPECT_EQ(2u, thread.status().pendingDrastic);
    run("20", 1); // recovered before the delay ran out
    EXPECT_EQ(0u, thread.status().pendingDrastic);
    EXPECT_TRUE(hostSays("temp: recovered, shutdown cancelled")) << host();
    run("90", 31);
    EXPECT_TRUE(hostSays("would run the shutdown now, but actions.conf names no shutdown command")) << host();
    EXPECT_TRUE(hostSays("would run " + _root.path() + "/bin/drive-off --now temp (commands are switched off)"))
        << host();
    // A missing command is a failed shutdown; commands switched off are not failures.
    EXPECT_EQ((std::map<std::string, unsigned long>{{"shutdown", 1}}), thread.status().actionFailures);
    EXPECT_EQ(2u, (thread.status().alerts[{"temp", "power-off-drive"}]));

    _root.write("machine/proc/uptime", "30.00 50.00\n"); // just booted: never within the grace time
    run("20", 1);
    run("90", 31);
    EXPECT_TRUE(hostSays("no shutdown within 60 s of boot (up 30 s)")) << host();
}

TEST_F(MonitorThreadTest, ShutdownCommandRunsBesideSampling)
{
    // The command waits until the test releases it: run inside the tick, it
    // would hold the tick until its timeout and be reported as failed.
    _root.write("bin/slow-off", "#!/bin/sh\ntouch \"$0.started\"\nwhile [ ! -e \"$0.release\" ]; do sleep 0.1; done\n");
    chmod(_root.at("bin/slow-off").c_str(), 0755);
    _root.write("etc/configs/monitor/actions.conf", "shutdown /bin/slow-off\ndelay 0\nboot-grace 0\n");
    writeConfig(entry("temp", trigger(kOver50, "><shutdown/>")));
    MonitorThreadOptions o = options();
    o.allowDrasticCommands = true; // the command is the fake above
    MonitorThread thread(o);
    _values["temp"] = "90";
    thread.tick();
    ++gNow;
    thread.tick();
    EXPECT_EQ(2u, thread.status().samples);
    ASSERT_TRUE(eventually([&] { return zortest::fileExists(_root.at("bin/slow-off.started")); })) << host();
    _root.write("bin/slow-off.release", "");
    EXPECT_TRUE(eventually([&] { return hostSays("shutdown: ran " + _root.at("bin/slow-off") + " (temp=90 exceeds 50)"); }))
        << host();
}

TEST_F(MonitorThreadTest, OldLogsAreRemovedAfterKeepLogsDays)
{
    // 2026-03-02 and the 89 days before it, back to 2025-12-03; what is not a day's log stays.
    const std::map<std::string, bool> kept = {{"d20260301.log", true}, {"d20251203.log", true},
                                              {"d20251202.log", false}, {"d2025.log", true}, {"notes.txt", true}};
    for (const auto& file : kept) {
        _root.write("var/log/monitor/" + file.first, "x\n");
    }
    writeConfig("");
    MonitorThreadOptions o = options();
    o.keepLogsDays = 90;
    MonitorThread thread(o);
    thread.tick();
    for (const auto& file : kept) {
        EXPECT_EQ(file.second, zortest::fileExists(_root.at("var/log/monitor/" + file.first))) << file.first;
    }
}
