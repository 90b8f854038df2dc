// The stand-in monitor library answers with live readings of this machine.
// That the host's options reach it and posts arrive is tested through zorhost.
#include "zorMonitorVariable.h"
#include "zorglobals.h"
#include "zorhostport.h"
#include "zormonitor_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

TEST(ZorMonitorTest, VariablesAreListedDescribedAndReadLive)
{
    std::string list, count;
    ZORmonitorThread::getVariableList(&list);
    ZORmonitorThread::getNumberOfVariables(&count);
    std::stringstream names(list);
    int listed = 0;
    for (std::string name, value, definition; std::getline(names, name, ','); ++listed) {
        EXPECT_EQ(ZORmonitorThread::getCurrentValue(&name, &value), 0) << name << ": " << value;
        char* end = nullptr;
        double number = std::strtod(value.c_str(), &end);
        EXPECT_TRUE(!value.empty() && *end == '\0' && number >= 0) << name << ": " << value;
        EXPECT_TRUE(number > 0 || (name != "uptime" && name != "memory-available")) << name;
        EXPECT_EQ(ZORmonitorThread::getDefinedValues(&name, &definition), 0);
        EXPECT_NE(definition.find("number"), std::string::npos) << definition;
    }
    EXPECT_GE(listed, 4);
    EXPECT_EQ(count, std::to_string(listed));

    std::string name = "no-such-variable", text;
    EXPECT_EQ(ZORmonitorThread::getCurrentValue(&name, &text), -3);
    EXPECT_EQ(text, "unknown variable no-such-variable");
    EXPECT_EQ(ZORmonitorThread::getDefinedValues(&name, &text), -3);
    EXPECT_EQ(ZORmonitorThread::getCurrentValue(nullptr, nullptr), -3);
    EXPECT_EQ(ZORmonitorThread::getDefinedValues(nullptr, nullptr), -3);
}

TEST(ZorMonitorTest, HostSettingsAndNotices)
{
    EXPECT_EQ(ZORmonitorThread::getMonitorInterval(), zormonitor::kDefaultIntervalSeconds);
    std::ostringstream log;
    std::streambuf* previous = zor_logstream.rdbuf(log.rdbuf());
    unsigned long before = zormonitor::configurationChangedCount();
    ZORmonitorThread::setConfigurationChanged();
    ZORmonitorThread::setConfigurationChanged();
    zor_logstream.rdbuf(previous);
    EXPECT_EQ(zormonitor::configurationChangedCount(), before + 2);
    EXPECT_EQ(log.str(), "zormonitor: configuration changed, notice 1\nzormonitor: configuration changed, notice 2\n");

    for (const char* bad : {"nohost", "127.0.0.1:0", "127.0.0.1:65536", ":5514", "127.0.0.1:abc", "[]:1",
                            "no.such.host.invalid:5514"}) {
        std::string error;
        EXPECT_FALSE(zormonitor::setUdpTarget(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(ZORUDPThread::postMessage(nullptr), -1);
}

// One parser reads the UDP target and the trap sinks; it never resolves.
TEST(ZorMonitorTest, HostAndPortAreSplitWithoutResolving)
{
    struct Row {
        const char* text;
        bool portOptional;
        const char* host; ///< null: refused, with reason
        int port;
    };
    const Row rows[] = {
        {"127.0.0.1:5514", false, "127.0.0.1", 5514},
        {"[::1]:162", false, "::1", 162},
        {"::1:5514", false, "::1", 5514},
        {"no.such.host.invalid:1", false, "no.such.host.invalid", 1},
        {"traps.example", true, "traps.example", 0},
        {"[fe80::1]", true, "fe80::1", 0},
        {"fe80::1", true, "fe80::1", 0},
        {"traps.example", false, nullptr, 0},
        {"[::1]", false, nullptr, 0},
        {"[::1]x", true, nullptr, 0},
        {"host:", true, nullptr, 0},
        {"host:123456", false, nullptr, 0},
    };
    for (const Row& row : rows) {
        const zor::Expected<zor::HostPort> parsed = zor::parseHostPort(row.text, row.portOptional);
        ASSERT_EQ(parsed.hasValue(), row.host != nullptr) << row.text;
        if (parsed) {
            EXPECT_EQ(parsed->host, row.host) << row.text;
            EXPECT_EQ(parsed->port, row.port) << row.text;
        } else {
            EXPECT_FALSE(parsed.error().empty()) << row.text;
        }
    }
    EXPECT_EQ(zor::parseHostPort("nohost").error(), "expected HOST:PORT, got \"nohost\"");
    EXPECT_EQ(zor::parseHostPort("[]:1").error(), "no host in \"[]:1\"");
    EXPECT_EQ(zor::parseHostPort("h:0").error(), "port must be a number from 1 to 65535, got \"0\"");
    EXPECT_EQ(zor::formatHostPort("::1", 162), "[::1]:162");
    EXPECT_EQ(zor::formatHostPort("traps.example", 162), "traps.example:162");
}
