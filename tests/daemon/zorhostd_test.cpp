// zorhostd driven by real clients: sessions sharing one store, a malformed
// document, the client library answering as zorhost in process does, and
// scripts sent ahead of their replies.
#include "daemonfixture.h"

#include <fcntl.h>

using namespace daemontest;

TEST(ZorhostdTest, SessionsShareOneStoreAndEndCleanly)
{
    ExampleRoot root;
    const std::string config = root.config();
    Daemon daemon(root, root.module());
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    struct stat folder{};
    ASSERT_EQ(stat(root.at("run/zorhost").c_str(), &folder), 0) << "the default socket lies under the root";
    EXPECT_EQ(folder.st_mode & 07777, 0750u);

    RemoteSession a(daemon.socket);
    RemoteSession b(daemon.socket);
    ASSERT_TRUE(opens(a) && opens(b));
    EXPECT_EQ(a.daemonPid(), daemon.pid);
    const std::string count = "get " + kConfig + "monitor-entry-count/";

    // Interleaved edits land in one store; B's commit writes A's edit too.
    EXPECT_EQ(field(run(a, "add " + kConfig + "monitor-entry/ " + kEntryXml), "result"), "0");
    EXPECT_EQ(field(run(b, count), "reply"), "3");
    EXPECT_EQ(field(run(b, "del " + kConfig + "monitor-entry/0/"), "result"), "0");
    EXPECT_EQ(field(run(a, count), "reply"), "2");
    EXPECT_EQ(field(run(b, "commit"), "reply"), " Monitor configuration saved in " + config);
    EXPECT_NE(zortest::readFile(config).find("disk-free"), std::string::npos);
    EXPECT_EQ(field(run(a, "get " + kConfig + "monitor-entry/1/"), "reply").find("<monitor-entry variable=\"disk-free\""), 0u);

    // An editor in process waits for the daemon's lock on the configuration, and is told who holds it.
    zortest::HostRun editor = zortest::runZorhost({"--root", root.path(), "--lock-wait", "0", "commit"});
    EXPECT_EQ(editor.status, 2);
    EXPECT_NE(editor.err.find("process " + std::to_string(daemon.pid)), std::string::npos) << editor.err;

    // A client gone in the middle of a request line: its edit stays in the
    // store, uncommitted, and the others go on.
    std::string saved = zortest::readFile(config);
    {
        RawClient c(daemon.socket);
        ASSERT_EQ(json::parse(c.line())["session"], "open");
        c.send("add " + kConfig + "monitor-entry/ " + kEntryXml + "\n");
        EXPECT_EQ(field(c.line(), "result"), "0");
        c.send("set " + kConfig + "monitor-ent");
    }
    ASSERT_TRUE(daemon.waitForLog("session 3 (")) << daemon.logText();
    ASSERT_TRUE(daemon.waitForLog("in the middle of a request line, which was not run; its uncommitted edits stay"))
        << daemon.logText();
    EXPECT_EQ(field(run(a, count), "reply"), "3");
    EXPECT_EQ(zortest::readFile(config), saved);

    // Stop with two sessions open, A with an uncommitted edit.
    EXPECT_EQ(field(run(a, "del " + kConfig + "monitor-entry/2/"), "result"), "0");
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    EXPECT_FALSE(zortest::fileExists(daemon.socket));
    std::string log = daemon.logText();
    EXPECT_NE(log.find("stopped: closed 2 sessions, 1 of them with uncommitted edits, which are discarded"), std::string::npos) << log;
    EXPECT_EQ(zortest::readFile(config), saved);
    EXPECT_EQ(json::parse(run(a, count))["hostError"], "zorhostd: the daemon is stopping: the session is closed");
}

// The module's XML error flag is process-wide and never clears: a malformed
// text must not reach it, and should one all the same, the daemon says so and
// what to do.
TEST(ZorhostdTest, AMalformedDocumentNeverStopsTheOthersEditing)
{
    const std::string add = "add " + kConfig + "monitor-entry/ ";
    const std::string truncated = add + "<monitor-entry variable=\"x\" log=\"false\"><frequency/>";
    ExampleRoot root;
    {
        Daemon daemon(root, root.module());
        ASSERT_TRUE(daemon.ready) << daemon.logText();
        RemoteSession a(daemon.socket);
        RemoteSession b(daemon.socket);
        ASSERT_TRUE(opens(a) && opens(b));
        std::string refused = run(a, truncated);
        EXPECT_NE(field(refused, "hostError").find("the value's XML text is malformed (line 1, column"),
                  std::string::npos) << refused;
        EXPECT_NE(field(run(a, "set " + kConfig + "action-trigger/0/0/ 0/0/<action-trigger"), "hostError")
                      .find("malformed"), std::string::npos);
        EXPECT_EQ(field(run(a, add + kEntryXml), "result"), "0");
        EXPECT_EQ(field(run(b, add + kEntryXml), "result"), "0");
        zortest::HostRun connected = zortest::runZorhost({"--connect", daemon.socket, "--json", "--script", "-"},
                                                          add + kEntryXml + "\ncommit\n");
        EXPECT_EQ(connected.status, 0) << connected.err;
    }
    // Without the check (as if a document failed in the module anyway).
    setenv("ZORHOSTD_SKIP_VALUE_CHECK_FOR_TEST", "1", 1);
    Daemon daemon(root, root.module());
    unsetenv("ZORHOSTD_SKIP_VALUE_CHECK_FOR_TEST");
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    RemoteSession a(daemon.socket);
    ASSERT_TRUE(opens(a));
    EXPECT_EQ(field(run(a, "del " + kConfig + "monitor-entry/0/"), "result"), "0");
    EXPECT_EQ(field(run(a, truncated), "reply"), "Parsing errors occurred");
    EXPECT_TRUE(daemon.waitForLog("the module's XML parser refuses every document since")) << daemon.logText();
    EXPECT_TRUE(daemon.waitForLog("Fatal Error at file")) << "the parser's own words are in the log too";
    std::string stuck = field(run(a, add + kEntryXml), "hostError");
    EXPECT_NE(stuck.find("Commit the edits you have"), std::string::npos) << stuck;
    // What the message promises: the uncommitted delete is saved.
    const std::string before = zortest::readFile(root.config());
    EXPECT_EQ(field(run(a, "commit"), "result"), "0");
    EXPECT_NE(zortest::readFile(root.config()), before);
}

TEST(ZorhostdTest, ClientLibraryAnswersAsZorhostInProcess)
{
    TempRoot root;
    // The request sets of the zorhost tests, with the options they ran under.
    std::vector<std::pair<std::vector<std::string>, std::string>> sets = {
        {{}, "get /t/a/b/c/\nget /t/a/x\nget /t/ax\nset /t/a/b/ v/w\nset /t/\nget /u/\nadd /t/9/\ncommit\n"
             "get:99 /nowhere/ x y\nset:15\ndel:-3 /t/\nget /t/ root\nset /t/a/ \n"},
        {{"--msg-size", "3", "--interval", "300"},
         "get /t/ bytes\nget /t/ result 5\nget /t/ big 1000\nget /t/ notice 2\nget /t/ result -4\nget /t/\xff/\n"
         "get /t/ interval\n"},
        {{}, "get /t/ throw enomem\nset /t/a/ throw error-null\nadd /t/ throw monitoring\ndel /t/ throw std\n"
             "get /t/ throw int\nget /t/ throw custom\n"},
        {{}, "add /t/ x\nadd:5 /t/ y\n"}}; // uncommitted: the module's flag crosses the socket, for exit status 3
    for (auto& [options, script] : sets) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--module", ZOR_TEST_MODULE});
        Daemon daemon(root, args);
        ASSERT_TRUE(daemon.ready) << daemon.logText();
        // zorhost --connect runs the set through the client library: the
        // same output as in process, plain and JSON, and the same status.
        for (const char* format : {"--json", "--keep-going"}) {
            std::vector<std::string> common = {"--keep-going", format, "--script", "-"};
            std::vector<std::string> local = options;
            local.insert(local.end(), {"--module", ZOR_TEST_MODULE, "--root", root.path()});
            local.insert(local.end(), common.begin(), common.end());
            std::vector<std::string> remote = {"--connect", daemon.socket};
            remote.insert(remote.end(), common.begin(), common.end());
            zortest::HostRun want = zortest::runZorhost(local, script);
            zortest::HostRun got = zortest::runZorhost(remote, script);
            EXPECT_EQ(want.out, got.out) << format;
            EXPECT_EQ(want.status, got.status) << format << got.err;
        }
    }

    // Raw replies come back byte for byte; what a line cannot carry is refused before it is sent.
    std::string line;
    std::string error;
    RequestOutcome outcome;
    ASSERT_TRUE(outcomeFromReplyLine(R"({"op":"get","key":"/t/","keyId":1,"result":0,"msgID":0,"used":3,)"
                                     R"("reply":"\u00ff\u00fe\u0000","notices":0})",
                                     &outcome, &error));
    EXPECT_EQ(outcome.reply, std::string("\xff\xfe\0", 3));
    for (const char* bad : {"not json", "[1]", R"({"keyId":1,"result":0})", R"({"keyId":"7","result":0,"msgID":0,)"
                            R"("used":1,"reply":"","notices":0})", R"({"keyId":1,"result":0,"msgID":0,"used":1,)"
                            R"("reply":"","notices":0,"exception":{}})"}) {
        EXPECT_FALSE(outcomeFromReplyLine(bad, &outcome, &error)) << bad;
    }
    ASSERT_TRUE(outcomeFromReplyLine(R"({"error":"request line 3: unknown"})", &outcome, &error));
    EXPECT_EQ(outcome.hostError, "zorhostd: request line 3: unknown");
    EXPECT_FALSE(outcome.result);
    for (auto [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"/a b/", "v"}, {"/t/", "x\ny"}, {std::string("/t\0/", 4), "v"}, {"/t/", "v\r"}}) {
        zor::Expected<HostRequest> request = makeRequest("set", key, value);
        ASSERT_TRUE(request);
        EXPECT_FALSE(requestLine(*request, &line, &error)) << key << value;
    }
}

// A script through the socket goes ahead of its replies; the daemon ends it
// at the first failure, so the same lines take effect as in process.
TEST(ZorhostdTest, PipelinedScriptStopsWhereTheInProcessRunStops)
{
    const std::string entries = "get " + kConfig + "monitor-entry-count/\n";
    // A variable the monitor thread knows, for --strict.
    const std::string add =
        "add " + kConfig + "monitor-entry/ <monitor-entry variable=\"cpu\" log=\"false\"><frequency/></monitor-entry>\n";
    struct Variant {
        std::string option;
        std::string failing; ///< the 3rd line of the script
        std::string stopped; ///< what standard error says of it; empty: the script goes on
        const char* count;   ///< entries afterwards
    };
    const std::string noKey = "get " + kConfig + "no-such-key/";
    const std::string sloppy = "del " + kConfig + "monitor-entry/abc/";
    for (const Variant& v : std::vector<Variant>{
             {"", noKey, "zorhost: stopped at script line 3 (" + noKey + ")", "3"},
             {"--keep-going", noKey, "", "4"},
             // refused before it is sent: the daemon never learns of it
             {"--strict", sloppy, "zorhost: script line 3 (" + sloppy + ") not sent", "3"}}) {
        SCOPED_TRACE(v.option.empty() ? "stop at the failure" : v.option);
        // The failure is the 3rd line of 40: the lines after it are on their
        // way before its reply is read.
        std::string script = entries + add + v.failing + "\n" + add;
        for (int i = 0; i < 36; ++i) {
            script += entries;
        }
        script += "commit\n";
        ExampleRoot local;
        ExampleRoot served;
        Daemon daemon(served, served.module());
        ASSERT_TRUE(daemon.ready) << daemon.logText();
        std::vector<std::string> inProcess = {"--root", local.path(), "--module", zortest::binPath("libmonitor.so")};
        std::vector<std::string> connected = {"--connect", daemon.socket};
        for (auto* args : {&inProcess, &connected}) {
            args->insert(args->end(), {"--script", "-"});
            if (!v.option.empty()) {
                args->push_back(v.option);
            }
        }
        zortest::HostRun want = zortest::runZorhost(inProcess, script);
        zortest::HostRun got = zortest::runZorhost(connected, script);
        // A commit's reply names the configuration file, under each root.
        for (size_t at; (at = want.out.find(local.path())) != std::string::npos;) {
            want.out.replace(at, local.path().size(), served.path());
        }
        EXPECT_EQ(got.out, want.out);
        EXPECT_EQ(got.status, want.status) << got.err;
        EXPECT_EQ(got.status, 1);
        for (const std::string* err : {&got.err, &want.err}) {
            EXPECT_EQ(err->find(v.stopped.empty() ? "zorhost: stopped at" : v.stopped) != std::string::npos,
                      !v.stopped.empty())
                << *err;
        }
        // What took effect: the entry added before the failure (uncommitted),
        // or with --keep-going both and the commit.
        zortest::HostRun after = zortest::runZorhost({"--connect", daemon.socket, "--json", "get",
                                                      kConfig + "monitor-entry-count/"});
        ASSERT_EQ(after.replies.size(), 1u) << after.err;
        EXPECT_EQ(after.replies[0]["reply"], v.count);
        EXPECT_EQ(zortest::readFile(served.config()), zortest::readFile(local.config()))
            << "the same commit, or none, on both sides";
    }
}

// zorhost --connect --script - sends each line as it comes: the reply to one
// line is printed before the next line exists.
TEST(ZorhostdTest, StreamedScriptAnswersEachLineBeforeTheNext)
{
    ExampleRoot root;
    Daemon daemon(root, root.module());
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    int in[2];
    int out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        std::string exe = zortest::binPath("zorhost");
        execl(exe.c_str(), exe.c_str(), "--connect", daemon.socket.c_str(), "--json", "--script", "-",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FILE* replies = fdopen(out[0], "r");
    auto replyTo = [&](const std::string& line) {
        EXPECT_EQ(write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
        char* text = nullptr;
        size_t size = 0;
        std::string reply = getline(&text, &size, replies) > 0 ? text : "";
        free(text);
        return reply.empty() ? json() : json::parse(reply);
    };
    EXPECT_EQ(replyTo("get " + kConfig + "monitor-entry-count/\n")["reply"], "2");
    EXPECT_EQ(replyTo("# a comment gets no reply\nadd " + kConfig + "monitor-entry/ " + kEntryXml + "\n")["result"], 0);
    EXPECT_EQ(replyTo("get " + kConfig + "monitor-entry-count/\n")["reply"], "3");
    close(in[1]);
    int status = 0;
    waitpid(child, &status, 0);
    fclose(replies);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the add is not committed";
}

// Script mode as the socket speaks it: everything is answered as outside it
// until a request fails; after that the script's lines are skipped, not run.
TEST(ZorhostdTest, ScriptModeSkipsOnlyWhatFollowsAFailure)
{
    ExampleRoot root;
    Daemon daemon(root, root.module());
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    RawClient c(daemon.socket);
    ASSERT_EQ(json::parse(c.line())["session"], "open");
    const std::string count = "get " + kConfig + "monitor-entry-count/\n";
    c.send(R"({"command":"alerts"})" "\n");
    const std::string alertsOutside = c.line();
    c.send(R"({"command":"script-end"})" "\n");
    EXPECT_EQ(field(c.line(), "error"), "no script is under way in this session");

    c.send(R"({"command":"script"})" "\n" R"({"command":"script"})" "\n" + count + "\n# comment\n" +
           R"({"command":"alerts"})" "\n" "get " + kConfig + "no-such-key/\n" +
           "add " + kConfig + "monitor-entry/ " + kEntryXml + "\n" R"({"command":"alerts"})" "\n" + "oops\n" +
           R"({"command":"script-end"})" "\n" + count + "# the last line gets no reply\n");
    EXPECT_EQ(c.line(), R"({"script":"started"})");
    EXPECT_EQ(field(c.line(), "error"), "a script is already under way in this session");
    EXPECT_EQ(field(c.line(), "reply"), "2");
    EXPECT_EQ(c.line(), alertsOutside);
    EXPECT_EQ(field(c.line(), "result"), "-1");
    EXPECT_EQ(field(c.line(), "skipped"), "request line 10 was not run: request line 9 of the script failed");
    EXPECT_EQ(c.line(), alertsOutside) << "daemon commands are no script lines";
    EXPECT_EQ(field(c.line(), "skipped"), "request line 12 was not run: request line 9 of the script failed");
    EXPECT_EQ(c.line(), R"({"script":"ended","skipped":2})");
    EXPECT_EQ(field(c.line(), "reply"), "2") << "the add was never run";
}

// The daemon keeps its standard output on one capture file for its whole
// life: what the module prints belongs to the request that printed it, is
// never repeated in a later reply, and a request that prints nothing has no
// stdout field. Two sessions take turns, so a leftover would show.
TEST(ZorhostdTest, EachRequestCarriesOnlyWhatItPrinted)
{
    ExampleRoot root;
    Daemon daemon(root, root.module());
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    RemoteSession a(daemon.socket);
    RemoteSession b(daemon.socket);
    ASSERT_TRUE(opens(a) && opens(b));
    const std::string post = "set /zor/public/system/monitor/message/post/ ";
    const std::string get = "get " + kConfig + "monitor-entry-count/";
    for (int round = 0; round < 3; ++round) {
        std::string text = "round" + std::to_string(round);
        EXPECT_EQ(field(run(a, post + text), "stdout"), "Post message (" + text + ")\n");
        EXPECT_FALSE(json::parse(run(b, get)).contains("stdout"));
        EXPECT_FALSE(json::parse(run(a, get)).contains("stdout"));
    }
}
