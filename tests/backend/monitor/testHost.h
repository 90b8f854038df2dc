// A minimal host for the frame tests: loads a built module with dlopen,
// resolves its seven entry points by their exported names and opens a
// session with a listener that records every registration, so the tests see
// the module exactly as the host process does.
#pragma once

#include "zormodule.h"
#include "zormodparam.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <vector>

namespace montest {

struct Registration {
    std::string keyName;
    int keyId;
    CBFunc cback;
    int type;
    void* instance;
};

struct RecordingListener : ZORListener {
    int registerKey(const char* keyName, int keyId, CBFunc cback, int type, void* instance) override
    {
        registrations.push_back({keyName, keyId, cback, type, instance});
        return 0;
    }
    std::vector<Registration> registrations;
};

struct LoadedModule {
    explicit LoadedModule(const std::string& path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        EXPECT_NE(nullptr, handle) << dlerror();
        if (handle != nullptr) {
            open = reinterpret_cast<OpenSessionFunc>(dlsym(handle, "OpenSession"));
            close = reinterpret_cast<CloseSessionFunc>(dlsym(handle, "CloseSession"));
            for (auto [slot, name] : {std::pair{&get, ZOR_SYM_ONGET}, {&set, ZOR_SYM_ONSET}, {&add, ZOR_SYM_ONADD},
                                      {&del, ZOR_SYM_ONDEL}, {&commit, ZOR_SYM_ONCOMMIT}}) {
                *slot = reinterpret_cast<RequestEntryFunc>(dlsym(handle, name));
            }
        }
    }
    ~LoadedModule()
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    bool complete() const { return open && close && get && set && add && del && commit; }

    void* handle;
    OpenSessionFunc open = nullptr;
    CloseSessionFunc close = nullptr;
    RequestEntryFunc get = nullptr, set = nullptr, add = nullptr, del = nullptr, commit = nullptr;
};

/// One session opened with a full host table, closed again at the end.
struct Session {
    explicit Session(LoadedModule& m) : module(m) { openResult = m.open(&record, &table); }
    ~Session() { module.close(&record); }
    void* data() const { return record.private_data; }

    LoadedModule& module;
    RecordingListener listener;
    module_funcs record{sizeof(module_funcs), 0, nullptr, nullptr, nullptr, nullptr, 0};
    system_funcs table{sizeof(system_funcs), 1, &listener, nullptr};
    int openResult;
};

/// What one request left in its parameter block.
struct Reply {
    int result;
    int msgId;
    std::string text; ///< the used bytes, without the final zero byte of a text reply
};

inline Reply call(RequestEntryFunc entry, int keyId, void* session, const char* key, const char* value = nullptr)
{
    ZorModParam parms(key, value, 1024);
    int result = entry(&parms, keyId, 0, session);
    int used = 0;
    const char* bytes = parms.getMessage(&used);
    if (used > 0 && bytes[used - 1] == '\0') {
        --used;
    }
    return Reply{result, parms.getMessageID(), std::string(bytes, static_cast<size_t>(used))};
}

inline void expectReply(const Reply& r, int result, int msgId, const std::string& text)
{
    EXPECT_EQ(result, r.result) << text;
    EXPECT_EQ(msgId, r.msgId) << text;
    EXPECT_EQ(text, r.text);
}

} // namespace montest
