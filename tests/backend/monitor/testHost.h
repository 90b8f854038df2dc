// Helpers of the monitor tests. End to end: replies of zorhost --json. In
// process: a fixture that loads a fresh copy of the built module with dlopen
// (so each test starts from empty static state), resolves the seven entry
// points by their exported names and opens sessions with a listener that
// records every registration, as the host process does.
#pragma once

#include "monitor.h"
#include "zorglobals.h"
#include "zormodparam.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace montest {

inline void expectReply(const nlohmann::json& r, int result, int msgId, const std::string& text)
{
    EXPECT_EQ(text, r["reply"]);
    EXPECT_EQ(result, r["result"]) << text;
    EXPECT_EQ(msgId, r["msgID"]) << text;
}

/// One request line and its expected result, message id and reply; a reply
/// ending in "..." only gives how the real one starts.
struct Step {
    std::string request;
    int result;
    int msgId;
    std::string reply;
};

/// Runs the steps as one zorhost session, keyPrefix inserted before every
/// key, checks every reply and returns them all.
inline std::vector<nlohmann::json> expectSession(const zortest::TempRoot& root, const std::vector<Step>& steps,
                                                 const std::string& keyPrefix = "",
                                                 const std::vector<std::string>& args = {})
{
    std::string script;
    for (const Step& step : steps) {
        std::string::size_type key = step.request.find(' ');
        script += key == std::string::npos ? step.request : step.request.substr(0, key + 1) + keyPrefix + step.request.substr(key + 1);
        script += "\n";
    }
    // Every step runs and is checked, also after one that fails.
    std::vector<std::string> allSteps = args;
    allSteps.push_back("--keep-going");
    auto host = zortest::runScript(root, script, allSteps);
    EXPECT_EQ(steps.size(), host.replies.size()) << host.err;
    host.replies.resize(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(steps[i].request);
        const std::string& want = steps[i].reply;
        nlohmann::json got = host.replies[i];
        if (want.size() >= 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            got["reply"] = got["reply"].get<std::string>().substr(0, want.size() - 3) + "...";
        }
        expectReply(got, steps[i].result, steps[i].msgId, want);
    }
    return host.replies;
}

/// Records every registration as "name-after-/zor/public/system/monitor/ id type".
struct RecordingListener : ZORListener {
    int registerKey(const char* keyName, int keyId, CBFunc cback, int type, void* instance) override
    {
        const std::string name = keyName, prefix = "/zor/public/system/monitor/";
        EXPECT_TRUE(name.compare(0, prefix.size(), prefix) == 0 && cback == nullptr) << name;
        registrations.push_back(name.substr(prefix.size()) + " " + std::to_string(keyId) + " " + std::to_string(type));
        instances.push_back(instance);
        return 0;
    }
    std::vector<std::string> registrations;
    std::vector<void*> instances;
};

/// What one in-process request left in its parameter block, as zorhost --json shows it.
inline nlohmann::json call(RequestEntryFunc entry, int keyId, void* session, const std::string& key,
                           const char* value = nullptr)
{
    ZorModParam parms(key.c_str(), value, 1024);
    int result = entry(&parms, keyId, 0, session);
    int used = 0;
    const char* bytes = parms.getMessage(&used);
    if (used > 0 && bytes[used - 1] == '\0') {
        --used;
    }
    return {{"result", result}, {"msgID", parms.getMessageID()}, {"reply", std::string(bytes, static_cast<size_t>(used))}};
}

/// ZOR_ROOT is an empty temporary root; the host log stream is captured.
class ModuleTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZOR_ROOT", root.path().c_str(), 1);
        savedLog = zor_logstream.rdbuf(&log);
        std::filesystem::copy_file(zortest::binPath("libmonitor.so"), copy.at("libmonitor.so"));
        // The module keeps its XML state for the life of the process, as the
        // host never unloads it; RTLD_NODELETE keeps each copy mapped after
        // dlclose so that state stays reachable and is not reported as leaked.
        handle = dlopen(copy.at("libmonitor.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(nullptr, handle) << dlerror();
        open = reinterpret_cast<OpenSessionFunc>(dlsym(handle, "OpenSession"));
        close = reinterpret_cast<CloseSessionFunc>(dlsym(handle, "CloseSession"));
        for (auto [slot, name] : {std::pair{&get, ZOR_SYM_ONGET}, {&set, ZOR_SYM_ONSET}, {&add, ZOR_SYM_ONADD},
                                  {&del, ZOR_SYM_ONDEL}, {&commit, ZOR_SYM_ONCOMMIT}}) {
            *slot = reinterpret_cast<RequestEntryFunc>(dlsym(handle, name));
        }
        ASSERT_TRUE(open && close && get && set && add && del && commit);
    }
    void TearDown() override
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
        zor_logstream.rdbuf(savedLog);
        unsetenv("ZOR_ROOT");
    }
    bool logged(const std::string& line) const { return log.str().find(line + "\n") != std::string::npos; }

    /// One session opened with a full host table, closed again at the end.
    struct Session {
        explicit Session(ModuleTest& t) : test(t) { EXPECT_EQ(0, t.open(&record, &table)); }
        ~Session() { test.close(&record); }
        moduleData* data() const { return static_cast<moduleData*>(record.private_data); }
        ModuleTest& test;
        RecordingListener listener;
        module_funcs record{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
        system_funcs table{sizeof(system_funcs), 1, &listener, nullptr};
    };

    zortest::TempRoot root;
    zortest::TempRoot copy;
    std::stringbuf log;
    std::streambuf* savedLog = nullptr;
    void* handle = nullptr;
    OpenSessionFunc open = nullptr;
    CloseSessionFunc close = nullptr;
    RequestEntryFunc get = nullptr, set = nullptr, add = nullptr, del = nullptr, commit = nullptr;
};

} // namespace montest
