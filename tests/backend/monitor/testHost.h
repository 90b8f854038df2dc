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

class RecordingListener : public ZORListener {
public:
    int registerKey(const char* keyName, int keyId, CBFunc cback, int type, void* instance) override
    {
        registrations.push_back({keyName != nullptr ? keyName : "", keyId, cback, type, instance});
        return 0;
    }
    std::vector<Registration> registrations;
};

class LoadedModule {
public:
    explicit LoadedModule(const std::string& path)
    {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
            return;
        }
        open = reinterpret_cast<OpenSessionFunc>(dlsym(handle, "OpenSession"));
        close = reinterpret_cast<CloseSessionFunc>(dlsym(handle, "CloseSession"));
        get = entry(ZOR_SYM_ONGET);
        set = entry(ZOR_SYM_ONSET);
        add = entry(ZOR_SYM_ONADD);
        del = entry(ZOR_SYM_ONDEL);
        commit = entry(ZOR_SYM_ONCOMMIT);
    }
    ~LoadedModule()
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool complete() const { return open && close && get && set && add && del && commit; }

    void* handle = nullptr;
    OpenSessionFunc open = nullptr;
    CloseSessionFunc close = nullptr;
    RequestEntryFunc get = nullptr;
    RequestEntryFunc set = nullptr;
    RequestEntryFunc add = nullptr;
    RequestEntryFunc del = nullptr;
    RequestEntryFunc commit = nullptr;

private:
    RequestEntryFunc entry(const char* name) { return reinterpret_cast<RequestEntryFunc>(dlsym(handle, name)); }
};

/// One open session on a loaded module, closed again at the end.
class Session {
public:
    explicit Session(LoadedModule& module) : _module(module)
    {
        record.iStructSize = sizeof(record);
        table.iStructSize = sizeof(table);
        table.iStructVersion = 1;
        table.session = &listener;
        openResult = module.open(&record, &table);
    }
    ~Session() { _module.close(&record); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void* data() const { return record.private_data; }

    module_funcs record{};
    system_funcs table{};
    RecordingListener listener;
    int openResult = 0;

private:
    LoadedModule& _module;
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
    Reply reply;
    reply.result = entry(&parms, keyId, 0, session);
    int used = 0;
    const char* bytes = parms.getMessage(&used);
    if (used > 0 && bytes[used - 1] == '\0') {
        --used;
    }
    reply.text.assign(bytes, static_cast<size_t>(used));
    reply.msgId = parms.getMessageID();
    return reply;
}

} // namespace montest
