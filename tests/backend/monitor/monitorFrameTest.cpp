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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using montest::call;
using montest::LoadedModule;
using montest::Reply;
using montest::Session;

namespace {

/// Collects the host log stream for the duration of a test.
class LogCapture {
public:
    LogCapture() : _saved(zor_logstream.rdbuf(&_buffer)) {}
    ~LogCapture() { zor_logstream.rdbuf(_saved); }
    std::string text() const { return _buffer.str(); }

private:
    std::stringbuf _buffer;
    std::streambuf* _saved;
};

class MonitorFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Whatever the configuration store reads at session start comes from
        // an empty temporary root, never from the machine's /etc.
        setenv("ZOR_ROOT", root.path().c_str(), 1);
        ASSERT_TRUE(module.complete());
    }
    void TearDown() override { unsetenv("ZOR_ROOT"); }

    zortest::TempRoot root;
    LoadedModule module{zortest::binPath("libmonitor.so")};
};

TEST_F(MonitorFrameTest, HandshakeClampsRecordsAndRegistersEveryRowInOrder)
{
    montest::RecordingListener listener;
    system_funcs table{sizeof(system_funcs), 1, &listener, nullptr};

    // A host that knows a 64-byte record gets the module's whole record and
    // learns its real size; bytes beyond it stay the host's.
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
    ASSERT_NE(nullptr, full->private_data);
    EXPECT_EQ(static_cast<int32_t>(sizeof(moduleData)), full->iPrivateDataSize);
    EXPECT_EQ(1044u, sizeof(moduleData));
    for (size_t i = sizeof(module_funcs); i < sizeof(wide); ++i) {
        EXPECT_EQ(0xAB, wide[i]) << "byte " << i;
    }

    const auto* data = static_cast<const moduleData*>(full->private_data);
    EXPECT_EQ(0u, data->Index);
    EXPECT_EQ(0u, data->triggerIndex);
    EXPECT_EQ(0u, data->configCount);
    EXPECT_FALSE(data->sessionDirty);
    for (char c : data->monitorData) {
        ASSERT_EQ('\0', c);
    }

    struct Row {
        const char* path;
        int id;
        int type;
    };
    const Row expected[] = {
        {"/zor/public/system/monitor/monitorLogList/", 0, 4},
        {"/zor/public/system/monitor/monitorLog/", 1, 4},
        {"/zor/public/system/monitor/monitorLogGraph/", 2, 4},
        {"/zor/public/system/monitor/variableList/", 3, 4},
        {"/zor/public/system/monitor/variable/", 4, 4},
        {"/zor/public/system/monitor/interval/", 5, 4},
        {"/zor/public/system/monitor/config/monitor-entry-count/", 6, 4},
        {"/zor/public/system/monitor/config/monitor-entry/", 7, 4},
        {"/zor/public/system/monitor/config/action-trigger-count/", 8, 4},
        {"/zor/public/system/monitor/config/action-trigger/", 9, 4},
        {"/zor/public/system/monitor/config/variable-count/", 10, 4},
        {"/zor/public/system/monitor/config/variables-supported/", 12, 4},
        {"/zor/public/system/monitor/config/variable-configuration/", 11, 4},
        {"/zor/public/system/monitor/config/monitor-entry/", 7, 2},
        {"/zor/public/system/monitor/config/action-trigger/", 9, 2},
        {"/zor/public/system/monitor/config/monitor-entry/", 7, 8},
        {"/zor/public/system/monitor/config/action-trigger/", 9, 8},
        {"/zor/public/system/monitor/config/monitor-entry/", 7, 16},
        {"/zor/public/system/monitor/config/action-trigger/", 9, 16},
        {"/zor/public/system/monitor/config/preset-trigger-count/", 13, 4},
        {"/zor/public/system/monitor/config/preset-trigger/", 14, 4},
        {"/zor/public/system/monitor/global-debug-level/", 15, 2},
        {"/zor/public/system/monitor/message/post/", 16, 2},
        {"/zor/public/system/monitor/commit/", 17, 1},
    };
    ASSERT_EQ(24u, listener.registrations.size());
    for (size_t i = 0; i < 24; ++i) {
        const montest::Registration& r = listener.registrations[i];
        EXPECT_EQ(expected[i].path, r.keyName) << "row " << i;
        EXPECT_EQ(expected[i].id, r.keyId) << "row " << i;
        EXPECT_EQ(expected[i].type, r.type) << "row " << i;
        EXPECT_EQ(nullptr, r.cback) << "row " << i;
        EXPECT_EQ(full->private_data, r.instance) << "row " << i;
    }

    // A host that knows only 12 bytes gets exactly 12: size, version and the
    // leading bytes of the name pointer; nothing past them is written.
    unsigned char narrow[sizeof(module_funcs)];
    std::memset(narrow, 0xAB, sizeof(narrow));
    auto* small = reinterpret_cast<module_funcs*>(narrow);
    small->iStructSize = 12;
    listener.registrations.clear();
    ASSERT_EQ(0, module.open(small, &table));
    EXPECT_EQ(12u, small->iStructSize);
    EXPECT_EQ(1, small->iStructVersion);
    EXPECT_EQ(0, std::memcmp(narrow + 8, &full->pModuleName, 4));
    for (size_t i = 12; i < sizeof(narrow); ++i) {
        EXPECT_EQ(0xAB, narrow[i]) << "byte " << i;
    }
    EXPECT_EQ(24u, listener.registrations.size());

    EXPECT_EQ(0, module.close(full));
    // The short record never received its session record; the host still
    // knows it as the instance of every registration.
    module_funcs second{};
    second.private_data = listener.registrations[0].instance;
    EXPECT_EQ(0, module.close(&second));
    EXPECT_EQ(0, module.close(nullptr));
    module_funcs empty{};
    EXPECT_EQ(0, module.close(&empty));
}

TEST_F(MonitorFrameTest, HandshakeRefusesUnusableHostTables)
{
    LogCapture log;
    montest::RecordingListener listener;

    module_funcs record{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(-6, module.open(&record, nullptr));
    EXPECT_NE(nullptr, record.private_data); // already handed over: CloseSession frees it
    EXPECT_EQ(0, module.close(&record));

    // A table of 8 bytes carries size and version only: the listener pointer
    // behind them must not be read.
    system_funcs shortTable{8, 1, &listener, nullptr};
    record = module_funcs{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(-6, module.open(&record, &shortTable));
    EXPECT_EQ(0, module.close(&record));

    system_funcs versionZero{sizeof(system_funcs), 0, &listener, nullptr};
    record = module_funcs{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(-7, module.open(&record, &versionZero));
    EXPECT_EQ(0, module.close(&record));

    system_funcs noListener{sizeof(system_funcs), 1, nullptr, nullptr};
    record = module_funcs{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(-6, module.open(&record, &noListener));
    EXPECT_EQ(0, module.close(&record));

    EXPECT_TRUE(listener.registrations.empty());
    const std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("monitor::OpenSession\n"));
    EXPECT_NE(std::string::npos, text.find("monitor ERROR: OpenSession ():_sys_funcs == NULL\n"));
    EXPECT_NE(std::string::npos, text.find("monitor ERROR: OpenSession (): sys_funcs.session == NULL\n"));
    EXPECT_NE(std::string::npos, text.find("monitor ERROR: OpenSession (): _sys_funcs not compatible\n"));
    EXPECT_NE(std::string::npos, text.find("monitor::CloseSession\n"));
}

TEST_F(MonitorFrameTest, EntryPointsCheckTheirArgumentsAndRefuseUnknownKeys)
{
    Session session(module);
    ASSERT_EQ(0, session.openResult);
    LogCapture log;

    for (RequestEntryFunc entry : {module.get, module.set, module.add, module.del, module.commit}) {
        EXPECT_EQ(-6, entry(nullptr, 0, 0, session.data()));
    }
    for (RequestEntryFunc entry : {module.get, module.set, module.add, module.del}) {
        Reply r = call(entry, 0, nullptr, "/zor/public/system/monitor/monitorLogList/");
        EXPECT_EQ(-2, r.result);
        EXPECT_EQ(-2, r.msgId);
        EXPECT_EQ("No session data\n", r.text);
    }
    Reply noSession = call(module.commit, 17, nullptr, "/zor/public/system/monitor/commit/");
    EXPECT_EQ(-2, noSession.result);
    EXPECT_EQ(" No session data\n", noSession.text);

    for (int id : {-1, 15, 16, 17, 18, 1000}) {
        Reply r = call(module.get, id, session.data(), "/zor/public/system/monitor/x/");
        EXPECT_EQ(-1, r.result) << "get id " << id;
        EXPECT_EQ(-1, r.msgId) << "get id " << id;
        EXPECT_EQ(" Unable to find key\n", r.text) << "get id " << id;
    }
    EXPECT_STREQ(" Unable to find key\n", static_cast<moduleData*>(session.data())->monitorData);
    for (RequestEntryFunc entry : {module.set, module.add, module.del}) {
        for (int id : {0, 5, 6, 17}) {
            Reply r = call(entry, id, session.data(), "/zor/public/system/monitor/x/");
            EXPECT_EQ(-1, r.result) << "id " << id;
            EXPECT_EQ("Unable to find key\n", r.text) << "id " << id;
        }
    }
    for (RequestEntryFunc entry : {module.add, module.del}) {
        EXPECT_EQ(-1, call(entry, 15, session.data(), "/zor/public/system/monitor/x/", "3").result);
    }

    Reply graph = call(module.get, 2, session.data(), "/zor/public/system/monitor/monitorLogGraph/");
    EXPECT_EQ(-9999, graph.result);
    EXPECT_EQ(" Log Graph function not implemented", graph.text);
    Reply list = call(module.get, 3, session.data(), "/zor/public/system/monitor/variableList/");
    EXPECT_EQ(-9999, list.result);
    EXPECT_EQ(" Variable list function not implemented", list.text);

    // Every configuration key reaches a handler of the store, not the
    // unknown-key refusal.
    for (int id = 6; id <= 14; ++id) {
        EXPECT_NE(-1, call(module.get, id, session.data(), "/zor/public/system/monitor/config/k/0/0/").result);
    }
    for (RequestEntryFunc entry : {module.set, module.add, module.del}) {
        for (int id : {7, 9}) {
            EXPECT_NE(-1, call(entry, id, session.data(), "/zor/public/system/monitor/config/k/0/0/", "0/0/x").result);
        }
    }

    Reply clean = call(module.commit, 17, session.data(), "/zor/public/system/monitor/commit/");
    EXPECT_EQ(0, clean.result);
    EXPECT_EQ(0, clean.msgId);
    EXPECT_EQ(" No session changes\n", clean.text);

    const std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("monitor::OnGet: /zor/public/system/monitor/monitorLogGraph/\n"));
    EXPECT_NE(std::string::npos, text.find("monitor::OnSet: /zor/public/system/monitor/x/\n"));
    EXPECT_NE(std::string::npos, text.find("monitor::OnCommit \n"));
}

TEST_F(MonitorFrameTest, DebugLevelKeyReadsTheLeadingNumberAndRefusesAnEmptyValue)
{
    Session session(module);
    ASSERT_EQ(0, session.openResult);
    const char* key = "/zor/public/system/monitor/global-debug-level/";
    const int before = zorGlobalDebugLevel;

    struct Case {
        const char* value;
        int level;
    };
    for (Case c : {Case{"42abc", 42}, Case{"abc", 0}, Case{"  -17", -17}, Case{"99999999999", INT_MAX},
                   Case{"-99999999999", INT_MIN}, Case{"7/8", 7}}) {
        Reply r = call(module.set, 15, session.data(), key, c.value);
        EXPECT_EQ(0, r.result) << c.value;
        EXPECT_EQ(0, r.msgId) << c.value;
        EXPECT_EQ("", r.text) << c.value;
        EXPECT_EQ(c.level, zorGlobalDebugLevel) << c.value;
    }

    zorGlobalDebugLevel = 5;
    for (const char* value : {"", "//9", "/"}) {
        Reply r = call(module.set, 15, session.data(), key, value);
        EXPECT_EQ(-6, r.result) << value;
        EXPECT_EQ(-6, r.msgId) << value;
        EXPECT_EQ(" No debug level given in the value", r.text) << value;
        EXPECT_EQ(5, zorGlobalDebugLevel) << value;
    }
    zorGlobalDebugLevel = before;
}

TEST_F(MonitorFrameTest, MessagePostPrintsAndSendsTheFirstValuePart)
{
    Session session(module);
    ASSERT_EQ(0, session.openResult);

    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sink, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(sink, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, getsockname(sink, reinterpret_cast<sockaddr*>(&address), &length));
    std::string error;
    ASSERT_TRUE(zormonitor::setUdpTarget("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), &error)) << error;

    const char* key = "/zor/public/system/monitor/message/post/";
    testing::internal::CaptureStdout();
    Reply posted = call(module.set, 16, session.data(), key, "hello/world");
    Reply empty = call(module.set, 16, session.data(), key, "");
    Reply slashes = call(module.set, 16, session.data(), key, "//x");
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(0, posted.result);
    EXPECT_EQ("", posted.text);
    EXPECT_EQ("Post message (hello)\n", printed); // the refused posts print nothing
    for (const Reply& r : {empty, slashes}) {
        EXPECT_EQ(-6, r.result);
        EXPECT_EQ(-6, r.msgId);
        EXPECT_EQ(" No message text given in the value", r.text);
    }

    // Exactly one datagram: the refused posts sent nothing.
    pollfd ready{sink, POLLIN, 0};
    ASSERT_EQ(1, poll(&ready, 1, 10000));
    char datagram[64] = {};
    EXPECT_EQ(5, recv(sink, datagram, sizeof(datagram), 0));
    EXPECT_STREQ("hello", datagram);
    EXPECT_EQ(-1, recv(sink, datagram, sizeof(datagram), MSG_DONTWAIT));
    close(sink);
}

TEST(MonitorModuleSymbols, ExportsExactlyTheSevenEntryPoints)
{
    const std::string command = "nm -D --defined-only '" + zortest::binPath("libmonitor.so") + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::set<std::string> names;
    char line[1024];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, kind, name;
        fields >> address >> kind >> name;
        if (!name.empty()) {
            names.insert(name);
        }
    }
    ASSERT_EQ(0, pclose(pipe));
    const std::set<std::string> expected = {
        "OpenSession", "CloseSession", ZOR_SYM_ONGET, ZOR_SYM_ONSET, ZOR_SYM_ONADD, ZOR_SYM_ONDEL, ZOR_SYM_ONCOMMIT,
    };
    EXPECT_EQ(expected, names);
}

} // namespace
