// The module frame as the host sees it: handshake, registrations, the checks
// and refusals of every entry point, the two keys the frame serves itself and
// the exported symbol list of the built library.
#include "testHost.h"

#include "monitor.h"
#include "zorglobals.h"
#include "zormonitor_host.h"
#include "zortest.h"

#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <poll.h>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace montest;

namespace {

/// Collects the host log stream for the duration of a test.
struct LogCapture {
    LogCapture() : saved(zor_logstream.rdbuf(&buffer)) {}
    ~LogCapture() { zor_logstream.rdbuf(saved); }
    bool has(const std::string& line) const { return buffer.str().find(line + "\n") != std::string::npos; }
    std::stringbuf buffer;
    std::streambuf* saved;
};

class MonitorFrameTest : public ::testing::Test {
protected:
    // Whatever the store reads at session start comes from an empty
    // temporary root, never from the machine's /etc.
    void SetUp() override { setenv("ZOR_ROOT", root.path().c_str(), 1); }
    void TearDown() override { unsetenv("ZOR_ROOT"); }

    zortest::TempRoot root;
    LoadedModule module{zortest::binPath("libmonitor.so")};
};

TEST_F(MonitorFrameTest, HandshakeClampsRecordsAndRegistersEveryRowInOrder)
{
    ASSERT_TRUE(module.complete());
    RecordingListener listener;
    system_funcs table{sizeof(system_funcs), 1, &listener, nullptr};

    // A host that knows a 64-byte record receives the module's whole record
    // and learns its real size; bytes beyond it stay the host's.
    unsigned char wide[64];
    std::memset(wide, 0xAB, sizeof(wide));
    auto* full = reinterpret_cast<module_funcs*>(wide);
    full->iStructSize = 64;
    ASSERT_EQ(0, module.open(full, &table));
    EXPECT_EQ(sizeof(module_funcs), full->iStructSize);
    EXPECT_EQ(1, full->iStructVersion);
    EXPECT_STREQ("monitor module", full->pModuleName);
    EXPECT_STREQ("Quorvane Networks", full->pModuleVendor);
    EXPECT_STREQ("6.5.0", full->pModuleVersion);
    EXPECT_EQ(1044, full->iPrivateDataSize);
    EXPECT_EQ(std::string(64 - sizeof(module_funcs), '\xAB'),
              std::string(reinterpret_cast<char*>(wide) + sizeof(module_funcs), 64 - sizeof(module_funcs)));
    const auto* data = static_cast<const moduleData*>(full->private_data);
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(data->Index == 0 && data->triggerIndex == 0 && data->configCount == 0 && !data->sessionDirty);
    EXPECT_EQ(std::string(1024, '\0'), std::string(data->monitorData, 1024));

    const std::string c = "config/";
    const std::vector<std::tuple<std::string, int, int>> expected = {
        {"monitorLogList/", 0, 4}, {"monitorLog/", 1, 4}, {"monitorLogGraph/", 2, 4}, {"variableList/", 3, 4},
        {"variable/", 4, 4}, {"interval/", 5, 4}, {c + "monitor-entry-count/", 6, 4}, {c + "monitor-entry/", 7, 4},
        {c + "action-trigger-count/", 8, 4}, {c + "action-trigger/", 9, 4}, {c + "variable-count/", 10, 4},
        {c + "variables-supported/", 12, 4}, {c + "variable-configuration/", 11, 4}, {c + "monitor-entry/", 7, 2},
        {c + "action-trigger/", 9, 2}, {c + "monitor-entry/", 7, 8}, {c + "action-trigger/", 9, 8},
        {c + "monitor-entry/", 7, 16}, {c + "action-trigger/", 9, 16}, {c + "preset-trigger-count/", 13, 4},
        {c + "preset-trigger/", 14, 4}, {"global-debug-level/", 15, 2}, {"message/post/", 16, 2}, {"commit/", 17, 1},
    };
    ASSERT_EQ(24u, listener.registrations.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Registration& r = listener.registrations[i];
        EXPECT_EQ("/zor/public/system/monitor/" + std::get<0>(expected[i]), r.keyName) << i;
        EXPECT_EQ(std::get<1>(expected[i]), r.keyId) << i;
        EXPECT_EQ(std::get<2>(expected[i]), r.type) << i;
        EXPECT_TRUE(r.cback == nullptr && r.instance == data) << i;
    }

    // A host that knows only 12 bytes gets exactly 12: size, version and the
    // leading bytes of the name pointer.
    unsigned char narrow[sizeof(module_funcs)];
    std::memset(narrow, 0xAB, sizeof(narrow));
    reinterpret_cast<module_funcs*>(narrow)->iStructSize = 12;
    listener.registrations.clear();
    ASSERT_EQ(0, module.open(reinterpret_cast<module_funcs*>(narrow), &table));
    EXPECT_EQ(12u, reinterpret_cast<module_funcs*>(narrow)->iStructSize);
    EXPECT_EQ(1, reinterpret_cast<module_funcs*>(narrow)->iStructVersion);
    EXPECT_EQ(0, std::memcmp(narrow + 8, &full->pModuleName, 4));
    EXPECT_EQ(std::string(sizeof(narrow) - 12, '\xAB'), std::string(reinterpret_cast<char*>(narrow) + 12, sizeof(narrow) - 12));
    ASSERT_EQ(24u, listener.registrations.size());

    EXPECT_EQ(0, module.close(full));
    // The short record never received its session record; the host still
    // knows it as the instance of every registration.
    module_funcs second{};
    second.private_data = listener.registrations[0].instance;
    EXPECT_EQ(0, module.close(&second));
    second.private_data = nullptr;
    EXPECT_EQ(0, module.close(&second));
    EXPECT_EQ(0, module.close(nullptr));
}

TEST_F(MonitorFrameTest, HandshakeRefusesUnusableHostTables)
{
    ASSERT_TRUE(module.complete());
    LogCapture log;
    RecordingListener listener;
    // A table of 8 bytes carries size and version only: the listener pointer
    // behind them must not be read.
    system_funcs shortTable{8, 1, &listener, nullptr};
    system_funcs versionZero{sizeof(system_funcs), 0, &listener, nullptr};
    system_funcs noListener{sizeof(system_funcs), 1, nullptr, nullptr};
    for (auto [table, result] : {std::pair{(system_funcs*)nullptr, -6}, {&shortTable, -6}, {&versionZero, -7},
                                 {&noListener, -6}}) {
        module_funcs record{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
        EXPECT_EQ(result, module.open(&record, table));
        EXPECT_NE(nullptr, record.private_data); // handed over already: CloseSession frees it
        EXPECT_EQ(0, module.close(&record));
    }
    EXPECT_TRUE(listener.registrations.empty());
    EXPECT_TRUE(log.has("monitor::OpenSession"));
    EXPECT_TRUE(log.has("monitor ERROR: OpenSession ():_sys_funcs == NULL"));
    EXPECT_TRUE(log.has("monitor ERROR: OpenSession (): sys_funcs.session == NULL"));
    EXPECT_TRUE(log.has("monitor ERROR: OpenSession (): _sys_funcs not compatible"));
    EXPECT_TRUE(log.has("monitor::CloseSession"));
}

TEST_F(MonitorFrameTest, EntryPointsCheckTheirArgumentsAndRefuseUnknownKeys)
{
    ASSERT_TRUE(module.complete());
    Session session(module);
    ASSERT_EQ(0, session.openResult);
    void* data = session.data();
    LogCapture log;
    const char* key = "/zor/public/system/monitor/x/";

    for (RequestEntryFunc entry : {module.get, module.set, module.add, module.del, module.commit}) {
        EXPECT_EQ(-6, entry(nullptr, 0, 0, data));
    }
    for (RequestEntryFunc entry : {module.get, module.set, module.add, module.del}) {
        expectReply(call(entry, 0, nullptr, key), -2, -2, "No session data\n");
    }
    expectReply(call(module.commit, 17, nullptr, key), -2, -2, " No session data\n");

    for (int id : {-1, 15, 16, 17, 18, 1000}) {
        expectReply(call(module.get, id, data, key), -1, -1, " Unable to find key\n");
    }
    EXPECT_STREQ(" Unable to find key\n", static_cast<moduleData*>(data)->monitorData);
    for (RequestEntryFunc entry : {module.set, module.add, module.del}) {
        for (int id : {0, 5, 6, 17}) {
            expectReply(call(entry, id, data, key), -1, -1, "Unable to find key\n");
        }
    }
    for (RequestEntryFunc entry : {module.add, module.del}) {
        EXPECT_EQ(-1, call(entry, 15, data, key, "3").result);
    }
    expectReply(call(module.get, 2, data, key), -9999, -9999, " Log Graph function not implemented");
    expectReply(call(module.get, 3, data, key), -9999, -9999, " Variable list function not implemented");

    // Every configuration key reaches a handler of the store.
    const char* configKey = "/zor/public/system/monitor/config/k/0/0/";
    for (int id = 6; id <= 14; ++id) {
        EXPECT_NE(-1, call(module.get, id, data, configKey).result) << id;
    }
    for (RequestEntryFunc entry : {module.set, module.add, module.del}) {
        EXPECT_NE(-1, call(entry, 7, data, configKey, "0/0/x").result);
        EXPECT_NE(-1, call(entry, 9, data, configKey, "0/0/x").result);
    }
    expectReply(call(module.commit, 17, data, key), 0, 0, " No session changes\n");

    EXPECT_TRUE(log.has("monitor::OnGet: /zor/public/system/monitor/x/"));
    EXPECT_TRUE(log.has("monitor::OnDel: /zor/public/system/monitor/x/"));
    EXPECT_TRUE(log.has("monitor::OnCommit "));
}

TEST_F(MonitorFrameTest, DebugLevelAndMessagePostReadTheFirstValuePart)
{
    ASSERT_TRUE(module.complete());
    Session session(module);
    ASSERT_EQ(0, session.openResult);
    const char* levelKey = "/zor/public/system/monitor/global-debug-level/";
    const char* postKey = "/zor/public/system/monitor/message/post/";
    const int before = zorGlobalDebugLevel;

    for (auto [value, level] : {std::pair{"42abc", 42}, {"abc", 0}, {"  -17", -17}, {"99999999999", INT_MAX},
                                {"-99999999999", INT_MIN}, {"7/8", 7}}) {
        expectReply(call(module.set, 15, session.data(), levelKey, value), 0, 0, "");
        EXPECT_EQ(level, zorGlobalDebugLevel) << value;
    }
    // Without a first value part the level stays as it was.
    zorGlobalDebugLevel = 5;
    for (const char* value : {"", "//9", "/"}) {
        expectReply(call(module.set, 15, session.data(), levelKey, value), -6, -6, " No debug level given in the value");
    }
    EXPECT_EQ(5, zorGlobalDebugLevel);
    zorGlobalDebugLevel = before;

    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(sink, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, getsockname(sink, reinterpret_cast<sockaddr*>(&address), &length));
    std::string error;
    ASSERT_TRUE(zormonitor::setUdpTarget("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), &error)) << error;

    testing::internal::CaptureStdout();
    expectReply(call(module.set, 16, session.data(), postKey, "hello/world"), 0, 0, "");
    for (const char* value : {"", "//x"}) {
        expectReply(call(module.set, 16, session.data(), postKey, value), -6, -6, " No message text given in the value");
    }
    EXPECT_EQ("Post message (hello)\n", testing::internal::GetCapturedStdout());

    // Exactly one datagram: the refused posts send nothing.
    pollfd ready{sink, POLLIN, 0};
    ASSERT_EQ(1, poll(&ready, 1, 10000));
    char datagram[16] = {};
    EXPECT_EQ(5, recv(sink, datagram, sizeof(datagram), 0));
    EXPECT_STREQ("hello", datagram);
    EXPECT_EQ(-1, recv(sink, datagram, sizeof(datagram), MSG_DONTWAIT));
    close(sink);
}

TEST(MonitorModuleSymbols, ExportsExactlyTheSevenEntryPoints)
{
    FILE* pipe = popen(("nm -D --defined-only '" + zortest::binPath("libmonitor.so") + "'").c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::set<std::string> names;
    char line[1024];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        std::string address, kind, name;
        std::istringstream(line) >> address >> kind >> name;
        names.insert(name);
    }
    ASSERT_EQ(0, pclose(pipe));
    EXPECT_EQ((std::set<std::string>{"OpenSession", "CloseSession", ZOR_SYM_ONGET, ZOR_SYM_ONSET, ZOR_SYM_ONADD,
                                     ZOR_SYM_ONDEL, ZOR_SYM_ONCOMMIT}),
              names);
}

} // namespace
