// zorhost driven as a person drives it, against a small test module.
#include "zortest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using nlohmann::json;
using zortest::HostRun;
using zortest::runZorhost;

namespace {

HostRun runTestModule(std::vector<std::string> args, const std::string& script = "")
{
    args.insert(args.begin(), {"--module", ZOR_TEST_MODULE});
    return runZorhost(args, script);
}

HostRun runTestScript(const std::string& script, std::vector<std::string> extra = {})
{
    extra.insert(extra.end(), {"--json", "--script", "-"});
    return runTestModule(extra, script);
}

} // namespace

TEST(ZorhostTest, RoutesToLongestPrefixOfTheAccessType)
{
    HostRun run = runTestScript("# routing\nget /t/a/b/c/\nget /t/a/x\nget /t/ax\n\n"
                                "set /t/a/b/ v/w\nset /t/\nget /u/\nadd /t/9/\ncommit\n",
                                {"--keep-going"});
    ASSERT_EQ(run.replies.size(), 8u) << run.err;
    std::vector<json> expectedIds = {3, 2, 1, 4, nullptr, nullptr, 5, 7};
    for (size_t i = 0; i < expectedIds.size(); ++i) {
        EXPECT_EQ(run.replies[i]["keyId"], expectedIds[i]) << run.replies[i].dump();
        if (expectedIds[i].is_null()) { // no row of that access type serves the key
            EXPECT_EQ(run.replies[i]["result"], -1);
            EXPECT_EQ(run.replies[i]["reply"], "no such key");
        }
    }
    EXPECT_EQ(run.replies[0]["reply"], "OnGet id=3 type=4 key=/t/a/b/c/ value=(none) parts=4");
    EXPECT_FALSE(run.replies[0].contains("value"));
    EXPECT_EQ(run.replies[3]["reply"], "OnSet id=4 type=2 key=/t/a/b/ value=v/w parts=3");
    EXPECT_EQ(run.replies[3]["value"], "v/w");
    EXPECT_EQ(run.replies[7]["key"], "/zor/public/system/monitor/commit/");
    EXPECT_EQ(run.status, 1);
}

TEST(ZorhostTest, OpIdBypassesRoutingAndBadLinesAreUsageErrors)
{
    HostRun run = runTestScript("get:99 /nowhere/ x y\nset:15\ndel:-3 /t/\n");
    ASSERT_EQ(run.replies.size(), 3u) << run.err;
    EXPECT_EQ(run.replies[0]["reply"], "OnGet id=99 type=4 key=/nowhere/ value=x y parts=1");
    EXPECT_EQ(run.replies[1]["reply"], "OnSet id=15 type=2 key= value=(none) parts=0");
    EXPECT_EQ(run.replies[2]["keyId"], -3);
    EXPECT_EQ(run.status, 3) << "the set and the del were never committed";

    for (const char* bad : {"get /t/\nget:x /t/\n", "frob /t/\n", "get\n", "get  /t/\n"}) {
        HostRun refused = runTestScript(bad);
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_TRUE(refused.replies.empty()) << "nothing runs before the script is read whole: " << bad;
    }
    EXPECT_NE(runTestScript("get /t/\nget:x /t/\n").err.find("script line 2"), std::string::npos);
}

TEST(ZorhostTest, JsonRepliesCarryTheBlockAsTheModuleLeftIt)
{
    HostRun run = runTestScript("get /t/ bytes\nget /t/ result 5\nget /t/ big 1000\n"
                                "get /t/ notice 2\nget /t/ result -4\nget /t/\xff/\n",
                                {"--msg-size", "3", "--keep-going"});
    ASSERT_EQ(run.replies.size(), 6u) << run.err;
    // Raw bytes keep their count; the invalid ones come out as \u00XX.
    EXPECT_EQ(run.replies[0]["used"], 6);
    EXPECT_NE(run.out.find("\"ok\\u00ff\\u00fe\\u00e9\""), std::string::npos);
    // A text reply counts its terminator in used, but the reply omits it.
    EXPECT_EQ(run.replies[1]["used"], run.replies[1]["reply"].get<std::string>().size() + 1);
    EXPECT_EQ(run.replies[1]["result"], 5);
    EXPECT_EQ(run.replies[2]["used"], 1000);
    EXPECT_EQ(run.replies[3]["notices"], 2);
    EXPECT_EQ(run.replies[4]["notices"], 0);
    EXPECT_EQ(run.replies[4]["msgID"], -4);
    EXPECT_EQ(run.replies[5]["key"], "/t/\u00ff/");
    EXPECT_EQ(run.status, 1);
}

TEST(ZorhostTest, ExceptionsLeavingAnEntryPointAreReported)
{
    HostRun run = runTestScript("get /t/ throw enomem\nset /t/a/ throw error-null\nadd /t/ throw monitoring\n"
                                "del /t/ throw std\nget /t/ throw int\nget /t/ throw custom\nget /t/\n",
                                {"--keep-going"});
    ASSERT_EQ(run.replies.size(), 7u) << run.err;
    std::vector<std::pair<std::string, json>> expected = {
        {"zor_enomem", "out of test memory"}, {"zor_error", nullptr}, {"MonitoringException", "bad document"},
        {"std::runtime_error", "boom"},       {"int", nullptr},       {"zorhosttest::TestFailure", nullptr}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const json& r = run.replies[i];
        EXPECT_TRUE(r["result"].is_null() && r["msgID"].is_null()) << r.dump();
        EXPECT_EQ(r["exception"]["type"], expected[i].first);
        EXPECT_EQ(r["exception"]["message"], expected[i].second);
    }
    EXPECT_EQ(run.replies[6]["result"], 0) << "with --keep-going the session goes on after an exception";
    EXPECT_EQ(run.status, 1);

    HostRun plain = runTestModule({"get", "/t/", "throw std"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.err.find("exception: std::runtime_error: boom"), std::string::npos);
}

TEST(ZorhostTest, PlainOutputExitStatusesAndKeyHints)
{
    HostRun ok = runTestModule({"get", "/t/a/", "-5"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "OnGet id=2 type=4 key=/t/a/ value=-5 parts=2\n");
    EXPECT_EQ(ok.err, "result: 0\n") << "the module's trace lines are not shown by default";
    EXPECT_NE(runTestModule({"--verbose", "get", "/t/a/"}).err.find("testmodule::OnGet: /t/a/"), std::string::npos);

    // A session that does not open is reported and its record still freed.
    setenv("ZORHOST_TEST_OPEN_RESULT", "-7", 1);
    HostRun refused = runTestModule({"-v", "get", "/t/"});
    unsetenv("ZORHOST_TEST_OPEN_RESULT");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("OpenSession failed: result -7"), std::string::npos);
    EXPECT_NE(refused.err.find("testmodule::CloseSession"), std::string::npos);

    zortest::TempRoot dir; // a script file runs like standard input: its negative result gives 1
    dir.write("script", "get /t/a/ result -9\n");
    using Args = std::vector<std::string>;
    for (const auto& c : std::vector<std::pair<Args, int>>{
             {{"--script", dir.at("script")}, 1},
             {{}, 2},
             {{"--script", "/nonexistent/script"}, 2},
             {{"--script", "-", "get", "/t/"}, 2},
             {{"--root", "/nonexistent/root", "get", "/t/"}, 2},
             {{"--msg-size", "0", "get", "/t/"}, 2},
             {{"--udp", "localhost:99999", "get", "/t/"}, 2},
             {{"--help"}, 0}}) {
        EXPECT_EQ(runTestModule(c.first).status, c.second) << ::testing::PrintToString(c.first);
    }
    EXPECT_EQ(runZorhost({"--module", "/nonexistent/libnothing.so", "get", "/t/"}).status, 2);
    EXPECT_EQ(runZorhost({"--module", zortest::binPath("libzorutils.so"), "get", "/t/"}).status, 2)
        << "a library without the entry points does not fit";

    HostRun typo = runTestModule({"get", "/r/x/"});
    EXPECT_EQ(typo.status, 1);
    EXPECT_EQ(typo.out, "no such key\n");
    EXPECT_NE(typo.err.find("no such key: /r/x/; did you mean /t/x/?"), std::string::npos) << typo.err;
    EXPECT_EQ(runTestModule({"set", "/x/y/z/", "v"}).err.find("did you mean"), std::string::npos);
    HostRun wrongOp = runTestModule({"set", "/t/", "v"});
    EXPECT_NE(wrongOp.err.find("no such key: /t/; it takes get, add and del requests"), std::string::npos)
        << wrongOp.err;
    HostRun json = runTestModule({"--json", "set", "/t/b/", "v"});
    ASSERT_EQ(json.replies.size(), 1u);
    EXPECT_EQ(json.replies[0]["reply"], "no such key") << "the JSON line is the contract's";
    for (std::string program : {"zorhost", "zorinfo"}) {
        HostRun version = zortest::runProgram(program, {"--version"});
        EXPECT_EQ(version.status, 0) << program;
        EXPECT_EQ(version.out.find(program), 0u) << version.out;
    }
}

TEST(ZorhostTest, OptionsReachTheModuleAndTheStandIns)
{
    int port = 0;
    int sock = zortest::loopbackSocket(SOCK_DGRAM, &port);
    ASSERT_GE(sock, 0);
    zortest::TempRoot root;
    std::string log = root.at("host.log");
    HostRun run = runTestScript("get /t/ root\nget /t/ interval\nget /t/ post hello there\nget /t/ post\n",
                                {"--root", root.path(), "--interval", "300", "--log", log, "--udp",
                                 "127.0.0.1:" + std::to_string(port)});
    ASSERT_EQ(run.replies.size(), 4u) << run.err;
    EXPECT_EQ(run.replies[0]["reply"], root.path());
    EXPECT_EQ(run.replies[1]["reply"], "300");

    // Each post is one datagram; an empty one is an empty datagram.
    for (std::string expected : {"hello there", ""}) {
        char datagram[64] = {};
        pollfd waiting{sock, POLLIN, 0};
        ASSERT_EQ(poll(&waiting, 1, 10000), 1) << "the post never arrived";
        EXPECT_EQ(recv(sock, datagram, sizeof datagram - 1, 0), static_cast<ssize_t>(expected.size()));
        EXPECT_EQ(datagram, expected);
    }
    close(sock);

    std::string logged = zortest::readFile(log);
    EXPECT_NE(logged.find("testmodule::OnGet: /t/"), std::string::npos);
    EXPECT_NE(logged.find("testmodule::CloseSession"), std::string::npos);
    EXPECT_EQ(run.err.find("testmodule::"), std::string::npos) << "--log takes the log stream off stderr";
}

// Which edits count as uncommitted is in zorhost_edit_test.cpp, with the real module.
TEST(ZorhostTest, ScriptsStopAtTheFirstFailureAndUncommittedEditsAreReported)
{
    struct Case {
        std::string script;
        std::vector<std::string> args;
        size_t replies; // requests sent
        int status;
        std::string err; // part of standard error
    };
    const std::string failing = "add /t/ x\nget /t/ result -6\ndel /t/ y\ncommit\n";
    for (const Case& c : std::vector<Case>{
             {failing, {}, 2, 1, "stopped at script line 2 (get /t/ result -6)"},
             {failing, {"--keep-going"}, 4, 1, ""},
             {"add /t/ x\nget /t/ throw std\ncommit\n", {}, 2, 1, "stopped at script line 2"},
             {"add /t/ x\ncommit\n", {"--dry-run"}, 1, 0, "dry run: script line 2 (commit) not sent"},
         }) {
        HostRun run = runTestScript(c.script, c.args);
        EXPECT_EQ(run.replies.size(), c.replies) << c.script << run.err;
        EXPECT_EQ(run.status, c.status) << c.script << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.script << run.err;
    }
    // An edit given as one command cannot be committed in its session: said, not silently lost.
    HostRun single = runTestModule({"add", "/t/", "x"});
    EXPECT_EQ(single.status, 3);
    EXPECT_NE(single.err.find("1 change not committed"), std::string::npos) << single.err;
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(ZorhostTest, TheHostsOwnOutOfMemoryIsNotTheModulesException)
{
    // With a gigabyte of address space, a starting reply size of 1.5 GB
    // cannot be allocated: the host fails before the module sees anything.
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    rlimit small{1ul << 30, saved.rlim_max};
    setrlimit(RLIMIT_AS, &small);
    rlimit now{};
    getrlimit(RLIMIT_AS, &now);
    if (now.rlim_cur != small.rlim_cur) {
        // A user-mode emulator (the i386 suite) keeps address-space limits
        // from its programs, since they would bind the emulator itself.
        GTEST_SKIP() << "address-space limits do not apply here";
    }
    HostRun run = runTestModule({"--json", "--msg-size", "1500000000", "get", "/t/"});
    setrlimit(RLIMIT_AS, &saved);
    ASSERT_EQ(run.replies.size(), 1u) << run.err;
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(run.replies[0].contains("exception")) << run.out;
    EXPECT_TRUE(run.replies[0]["result"].is_null());
    EXPECT_EQ(run.replies[0]["hostError"].get<std::string>().find("out of memory in the host while building"), 0u)
        << run.out;
}
#endif
