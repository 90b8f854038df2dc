#include "modulelibrary.h"

#include <dlfcn.h>

#include <filesystem>

namespace {

template <typename F>
bool findSymbol(void* handle, const char* name, F* function, std::string* error)
{
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        const char* why = dlerror();
        *error = std::string("entry point ") + name + " not found" + (why != nullptr ? std::string(": ") + why : "");
        return false;
    }
    *function = reinterpret_cast<F>(symbol);
    return true;
}

} // namespace

zor::Expected<void> ModuleLibrary::load(const std::string& path)
{
    std::string error;
    // RTLD_LOCAL: the module's symbols stay its own, so copies of one module
    // loaded side by side each keep their own static state.
    _handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (_handle == nullptr) {
        const char* why = dlerror();
        return zor::Error{"cannot load module " + path + ": " + (why != nullptr ? why : "unknown error")};
    }
    bool ok = findSymbol(_handle, "OpenSession", &openSession, &error) &&
              findSymbol(_handle, "CloseSession", &closeSession, &error) &&
              findSymbol(_handle, ZOR_SYM_ONGET, &onGet, &error) && findSymbol(_handle, ZOR_SYM_ONSET, &onSet, &error) &&
              findSymbol(_handle, ZOR_SYM_ONADD, &onAdd, &error) && findSymbol(_handle, ZOR_SYM_ONDEL, &onDel, &error) &&
              findSymbol(_handle, ZOR_SYM_ONCOMMIT, &onCommit, &error);
    if (!ok) {
        unload();
        return zor::Error{"module " + path + " does not fit: " + error};
    }
    return {};
}

void ModuleLibrary::unload()
{
    if (_handle != nullptr) {
        dlclose(_handle);
    }
    *this = ModuleLibrary();
}

RequestEntryFunc ModuleLibrary::entryFor(int type) const
{
    switch (type) {
    case KEY_TYPE_GET:
        return onGet;
    case KEY_TYPE_SET:
        return onSet;
    case KEY_TYPE_ADD:
        return onAdd;
    case KEY_TYPE_DEL:
        return onDel;
    case KEY_TYPE_COMMIT:
        return onCommit;
    default:
        return nullptr;
    }
}

std::string defaultModulePath()
{
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (ec ? std::string(".") : self.parent_path().string()) + "/libmonitor.so";
}
