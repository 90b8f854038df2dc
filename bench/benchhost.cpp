#include "benchhost.h"

#include "monitoringexception.h"
#include "zor_error.h"
#include "zormodparam.h"

#include <atomic>
#include <exception>
#include <filesystem>
#include <unistd.h>

namespace zorbench {

namespace {

std::atomic<unsigned> gCopySequence{0};
bool gUnloadCopies = true;

bool copyFile(const std::string& from, const std::string& to, std::string* error)
{
    std::error_code failure;
    if (!std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, failure)) {
        *error = "cannot copy " + from + " to " + to + ": " + failure.message();
        return false;
    }
    return true;
}

std::string describeCurrentException()
{
    try {
        throw;
    } catch (const MonitoringException& e) {
        return "MonitoringException: " + e.getMessage();
    } catch (const zor_error& e) {
        return std::string("zor_error: ") + (e.getMsg() != nullptr ? e.getMsg() : "");
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    } catch (...) {
        return "unknown exception";
    }
}

} // namespace

ModuleCopy::ModuleCopy(const std::string& modulePath, const std::string& folder)
{
    _path = folder + "/libmonitor-" + std::to_string(::getpid()) + "-" + std::to_string(++gCopySequence) + ".so";
    if (!copyFile(modulePath, _path, &_error)) {
        _path.clear();
        return;
    }
    if (zor::Expected<void> loaded = _library.load(_path); !loaded) {
        _error = loaded.error();
    }
}

void ModuleCopy::setUnloadCopies(bool unload) { gUnloadCopies = unload; }

ModuleCopy::~ModuleCopy()
{
    closeSession();
    if (gUnloadCopies) {
        _library.unload();
    }
    if (!_path.empty()) {
        ::unlink(_path.c_str());
    }
}

int ModuleCopy::openSession()
{
    _record = module_funcs{};
    _record.iStructSize = sizeof(module_funcs);
    _record.iStructVersion = 1;
    _table = system_funcs{};
    _table.iStructSize = sizeof(system_funcs);
    _table.iStructVersion = 1;
    _table.session = &_listener;
    _listener.clear();
    int result = _library.openSession(&_record, &_table);
    _open = _record.private_data != nullptr;
    return result;
}

void ModuleCopy::closeSession()
{
    if (_open) {
        _library.closeSession(&_record);
        _open = false;
        _listener.clear();
    }
}

Request ModuleCopy::route(int type, const std::string& key, std::optional<std::string> value) const
{
    Request request;
    request.type = type;
    request.key = key;
    request.value = std::move(value);
    if (const KeyRow* row = _listener.route(type, key)) {
        request.keyId = row->keyId;
        request.instance = row->instance;
        request.entry = _library.entryFor(type);
    }
    return request;
}

Outcome ModuleCopy::send(const Request& request)
{
    Outcome outcome;
    if (request.entry == nullptr) {
        outcome.result = -1;
        outcome.exception = "no row serves " + request.key;
        return outcome;
    }
    try {
        ZorModParam parms(request.key.c_str(), request.value ? request.value->c_str() : nullptr, kReplySize);
        outcome.result = request.entry(&parms, request.keyId, request.type, request.instance);
        int used = 0;
        const char* bytes = parms.getMessage(&used);
        if (used > 0 && bytes[used - 1] == '\0') {
            --used;
        }
        outcome.reply.assign(bytes, static_cast<size_t>(used));
    } catch (...) {
        outcome.result = -1;
        outcome.exception = describeCurrentException();
    }
    return outcome;
}

int ModuleCopy::sendQuick(const Request& request)
{
    ZorModParam parms(request.key.c_str(), request.value ? request.value->c_str() : nullptr, kReplySize);
    return request.entry(&parms, request.keyId, request.type, request.instance);
}

} // namespace zorbench
