// The stand-in monitor library answers with live readings of this machine.
#include "zorMonitorVariable.h"
#include "zorglobals.h"
#include "zormonitor_host.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> names;
    std::stringstream in(text);
    for (std::string name; std::getline(in, name, ',');) {
        names.push_back(name);
    }
    return names;
}

double asNumber(const std::string& text)
{
    char* end = nullptr;
    double number = std::strtod(text.c_str(), &end);
    EXPECT_TRUE(!text.empty() && *end == '\0') << "not a number: \"" << text << "\"";
    return number;
}

} // namespace

TEST(ZorMonitorTest, VariablesAreListedDescribedAndReadLive)
{
    std::string list;
    std::string count;
    ZORmonitorThread::getVariableList(&list);
    ZORmonitorThread::getNumberOfVariables(&count);
    std::vector<std::string> names = splitList(list);
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(count, std::to_string(names.size()));

    for (std::string name : names) {
        std::string value;
        std::string definition;
        EXPECT_EQ(ZORmonitorThread::getCurrentValue(&name, &value), 0) << name << ": " << value;
        EXPECT_GE(asNumber(value), 0) << name;
        EXPECT_EQ(ZORmonitorThread::getDefinedValues(&name, &definition), 0);
        EXPECT_NE(definition.find("number"), std::string::npos) << definition;
    }
    std::string name = "uptime";
    std::string value;
    ZORmonitorThread::getCurrentValue(&name, &value);
    EXPECT_GT(asNumber(value), 0);
    name = "memory-available";
    ZORmonitorThread::getCurrentValue(&name, &value);
    EXPECT_GT(asNumber(value), 0);

    name = "no-such-variable";
    std::string text;
    EXPECT_EQ(ZORmonitorThread::getCurrentValue(&name, &text), -3);
    EXPECT_EQ(text, "unknown variable no-such-variable");
    EXPECT_EQ(ZORmonitorThread::getDefinedValues(&name, &text), -3);
    EXPECT_EQ(ZORmonitorThread::getCurrentValue(nullptr, nullptr), -3);
    EXPECT_EQ(ZORmonitorThread::getDefinedValues(nullptr, nullptr), -3);
}

TEST(ZorMonitorTest, HostSettingsAndNotices)
{
    EXPECT_EQ(ZORmonitorThread::getMonitorInterval(), zormonitor::kDefaultIntervalSeconds);
    zormonitor::setMonitorInterval(300);
    EXPECT_EQ(ZORmonitorThread::getMonitorInterval(), 300);

    std::ostringstream log;
    std::streambuf* previous = zor_logstream.rdbuf(log.rdbuf());
    unsigned long before = zormonitor::configurationChangedCount();
    ZORmonitorThread::setConfigurationChanged();
    ZORmonitorThread::setConfigurationChanged();
    zor_logstream.rdbuf(previous);
    EXPECT_EQ(zormonitor::configurationChangedCount(), before + 2);
    EXPECT_EQ(log.str(), "zormonitor: configuration changed, notice 1\nzormonitor: configuration changed, notice 2\n");

    std::string error;
    for (const char* bad : {"nohost", "127.0.0.1:0", "127.0.0.1:65536", ":5514", "127.0.0.1:abc", "[]:1",
                            "no.such.host.invalid:5514"}) {
        error.clear();
        EXPECT_FALSE(zormonitor::setUdpTarget(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ZorMonitorTest, PostedMessageArrivesAsOneDatagram)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length), 0);

    std::string error;
    ASSERT_TRUE(zormonitor::setUdpTarget("localhost:" + std::to_string(ntohs(address.sin_port)), &error)) << error;
    EXPECT_EQ(ZORUDPThread::postMessage("disk 3 is hot"), 0);
    EXPECT_EQ(ZORUDPThread::postMessage(""), 0);
    EXPECT_EQ(ZORUDPThread::postMessage(nullptr), -1);

    char datagram[64] = {};
    pollfd waiting{sock, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 10000), 1) << "the post never arrived";
    EXPECT_EQ(recv(sock, datagram, sizeof datagram, 0), 13);
    EXPECT_EQ(std::string(datagram, 13), "disk 3 is hot");
    ASSERT_EQ(poll(&waiting, 1, 10000), 1);
    EXPECT_EQ(recv(sock, datagram, sizeof datagram, 0), 0) << "an empty message is an empty datagram";
    close(sock);
}
