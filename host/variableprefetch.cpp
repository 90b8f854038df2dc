#include "variableprefetch.h"

#include "monitorsession.h"
#include "zorMonitorVariable.h"
#include "zormodule.h"

std::unique_ptr<zormonitor::PrefetchedValue> prefetchVariable(const HostSession& session,
                                                              const HostRequest& request)
{
    if (request.type != KEY_TYPE_GET || request.forcedKeyId) {
        return nullptr;
    }
    const KeyRow* row = session.listener().route(request.type, request.key);
    if (row == nullptr || row->keyId != ZOR_MON_VARIABLE_KEY) {
        return nullptr;
    }
    // The name as the module finds it: after "variable/", up to the next
    // "/". A key the module reads otherwise costs only this early read.
    const std::string word = "variable/";
    size_t at = request.key.find("variable");
    if (at == std::string::npos || request.key.compare(at, word.size(), word) != 0) {
        return nullptr;
    }
    std::string name = request.key.substr(at + word.size());
    name = name.substr(0, name.find('/'));
    if (name.empty()) {
        return nullptr;
    }
    std::string value;
    int result = ZORmonitorThread::getCurrentValue(&name, &value);
    return std::make_unique<zormonitor::PrefetchedValue>(name, result, std::move(value));
}
