// The module frame as the host sees it: handshake, registrations, the checks
// of every entry point, the two keys the frame serves itself and the exported
// symbol list of the built library.
#include "testHost.h"

#include "zormonitor_host.h"

#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <poll.h>
#include <set>
#include <unistd.h>

using namespace montest;

namespace {

using MonitorFrameTest = ModuleTest;

TEST_F(MonitorFrameTest, HandshakeClampsRecordsAndRegistersEveryRowInOrder)
{
    RecordingListener listener;
    system_funcs table{sizeof(system_funcs), 1, &listener, nullptr};

    // A host that knows a 64-byte record receives the module's whole record
    // and learns its real size; bytes beyond it stay the host's.
    unsigned char wide[64];
    std::memset(wide, 0xAB, sizeof(wide));
    auto* full = reinterpret_cast<module_funcs*>(wide);
    full->iStructSize = 64;
    ASSERT_EQ(0, open(full, &table));
    EXPECT_EQ(sizeof(module_funcs), full->iStructSize);
#if defined(__i386__)
    // The appliance's own target: the record sizes its hosts were written against.
    EXPECT_EQ(28u, full->iStructSize);
    EXPECT_EQ(16u, sizeof(system_funcs));
    EXPECT_EQ(4u, sizeof(long)) << "index and number texts clamp at the 32-bit limits natively";
#endif
    EXPECT_EQ(1, full->iStructVersion);
    EXPECT_EQ("monitor module|Quorvane Networks|6.5.0",
              std::string(full->pModuleName) + "|" + full->pModuleVendor + "|" + full->pModuleVersion);
    EXPECT_EQ(1044, full->iPrivateDataSize);
    EXPECT_EQ(std::string(64 - sizeof(module_funcs), '\xAB'),
              std::string(reinterpret_cast<char*>(wide) + sizeof(module_funcs), 64 - sizeof(module_funcs)));
    const auto* data = static_cast<const moduleData*>(full->private_data);
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(data->Index == 0 && data->triggerIndex == 0 && data->configCount == 0 && !data->sessionDirty);
    EXPECT_EQ(std::string(1024, '\0'), std::string(data->monitorData, 1024));

    const std::string c = "config/";
    const std::vector<std::string> expected = {
        "monitorLogList/ 0 4", "monitorLog/ 1 4", "monitorLogGraph/ 2 4", "variableList/ 3 4", "variable/ 4 4",
        "interval/ 5 4", c + "monitor-entry-count/ 6 4", c + "monitor-entry/ 7 4", c + "action-trigger-count/ 8 4",
        c + "action-trigger/ 9 4", c + "variable-count/ 10 4", c + "variables-supported/ 12 4",
        c + "variable-configuration/ 11 4", c + "monitor-entry/ 7 2", c + "action-trigger/ 9 2",
        c + "monitor-entry/ 7 8", c + "action-trigger/ 9 8", c + "monitor-entry/ 7 16", c + "action-trigger/ 9 16",
        c + "preset-trigger-count/ 13 4", c + "preset-trigger/ 14 4", "global-debug-level/ 15 2",
        "message/post/ 16 2", "commit/ 17 1"};
    EXPECT_EQ(expected, listener.registrations);
    EXPECT_EQ(std::vector<void*>(24, full->private_data), listener.instances);

    // A host that knows only 12 bytes gets exactly 12: size, version and the
    // leading bytes of the name pointer.
    unsigned char narrow[sizeof(module_funcs)];
    std::memset(narrow, 0xAB, sizeof(narrow));
    reinterpret_cast<module_funcs*>(narrow)->iStructSize = 12;
    listener = RecordingListener();
    ASSERT_EQ(0, open(reinterpret_cast<module_funcs*>(narrow), &table));
    EXPECT_EQ(12u, reinterpret_cast<module_funcs*>(narrow)->iStructSize);
    EXPECT_EQ(1, reinterpret_cast<module_funcs*>(narrow)->iStructVersion);
    EXPECT_EQ(0, std::memcmp(narrow + 8, &full->pModuleName, 4));
    EXPECT_EQ(std::string(sizeof(narrow) - 12, '\xAB'), std::string(reinterpret_cast<char*>(narrow) + 12, sizeof(narrow) - 12));
    ASSERT_EQ(24u, listener.registrations.size());

    EXPECT_EQ(0, close(full));
    module_funcs second{};
    second.private_data = listener.instances[0];
    EXPECT_EQ(0, close(&second));
    EXPECT_EQ(0, close(nullptr));
}

TEST_F(MonitorFrameTest, HandshakeRefusesUnusableHostTables)
{
    RecordingListener listener;
    // A table of 8 bytes carries size and version only: the listener pointer
    // behind them must not be read.
    system_funcs shortTable{8, 1, &listener, nullptr};
    system_funcs versionZero{sizeof(system_funcs), 0, &listener, nullptr};
    system_funcs noListener{sizeof(system_funcs), 1, nullptr, nullptr};
    for (auto [table, result] : {std::pair{(system_funcs*)nullptr, -6}, {&shortTable, -6}, {&versionZero, -7},
                                 {&noListener, -6}}) {
        module_funcs record{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
        EXPECT_EQ(result, open(&record, table));
        EXPECT_NE(nullptr, record.private_data); // handed over already: CloseSession frees it
        EXPECT_EQ(0, close(&record));
    }
    EXPECT_TRUE(listener.registrations.empty());
    EXPECT_TRUE(logged("monitor::OpenSession"));
    EXPECT_TRUE(logged("monitor ERROR: OpenSession ():_sys_funcs == NULL"));
    EXPECT_TRUE(logged("monitor ERROR: OpenSession (): sys_funcs.session == NULL"));
    EXPECT_TRUE(logged("monitor ERROR: OpenSession (): _sys_funcs not compatible"));
    EXPECT_TRUE(logged("monitor::CloseSession"));
}

// What the host cannot send: no parameter block, no session record.
TEST_F(MonitorFrameTest, EntryPointsRefuseMissingArguments)
{
    Session session(*this);
    for (RequestEntryFunc entry : {get, set, add, del, commit}) {
        EXPECT_EQ(-6, entry(nullptr, 0, 0, session.data()));
    }
    for (RequestEntryFunc entry : {get, set, add, del}) {
        expectReply(call(entry, 0, nullptr, "/zor/public/system/monitor/x/"), -2, -2, "No session data\n");
    }
    expectReply(call(commit, 17, nullptr, "/zor/public/system/monitor/x/"), -2, -2, " No session data\n");
    EXPECT_TRUE(logged("monitor::OnDel: /zor/public/system/monitor/x/"));
}

TEST_F(MonitorFrameTest, DebugLevelAndMessagePostReadTheFirstValuePart)
{
    Session session(*this);
    const char* levelKey = "/zor/public/system/monitor/global-debug-level/";
    const char* postKey = "/zor/public/system/monitor/message/post/";
    const int before = zorGlobalDebugLevel;
    for (auto [value, level] : {std::pair{"42abc", 42}, {"abc", 0}, {"  -17", -17}, {"99999999999", INT_MAX},
                                {"-99999999999", INT_MIN}, {"7/8", 7}}) {
        expectReply(call(set, 15, session.data(), levelKey, value), 0, 0, "");
        EXPECT_EQ(level, zorGlobalDebugLevel) << value;
    }
    // Without a first value part the level stays as it was.
    zorGlobalDebugLevel = 5;
    for (const char* value : {"", "//9"}) {
        expectReply(call(set, 15, session.data(), levelKey, value), -6, -6, " No debug level given in the value");
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
    expectReply(call(set, 16, session.data(), postKey, "hello/world"), 0, 0, "");
    for (const char* value : {"", "//x"}) {
        expectReply(call(set, 16, session.data(), postKey, value), -6, -6, " No message text given in the value");
    }
    EXPECT_EQ("Post message (hello)\n", testing::internal::GetCapturedStdout());
    // Exactly one datagram: the refused posts send nothing.
    pollfd ready{sink, POLLIN, 0};
    ASSERT_EQ(1, poll(&ready, 1, 10000));
    char datagram[16] = {};
    EXPECT_EQ(5, recv(sink, datagram, sizeof(datagram), 0));
    EXPECT_STREQ("hello", datagram);
    EXPECT_EQ(-1, recv(sink, datagram, sizeof(datagram), MSG_DONTWAIT));
    ::close(sink);
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
