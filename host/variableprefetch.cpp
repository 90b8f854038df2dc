#include "variableprefetch.h"
#include "monitorkeys.h"

#include "zorMonitorVariable.h"
#include "zormodule.h"

std::unique_ptr<zormonitor::PrefetchedValue> prefetchVariable(const HostRequest& request)
{
    // The variable key's registered path; "variableList/" is another row and
    // does not start with it, so this is exactly what routing would pick.
    const std::string path = monitorkeys::kVariable;
    if (request.type != KEY_TYPE_GET || request.forcedKeyId || request.key.compare(0, path.size(), path) != 0) {
        return nullptr;
    }
    // The name as the module finds it: after "variable/", up to the next
    // "/". A key the module reads otherwise costs only this early read.
    std::string name = request.key.substr(path.size());
    name = name.substr(0, name.find('/'));
    if (name.empty()) {
        return nullptr;
    }
    std::string value;
    int result = ZORmonitorThread::getCurrentValue(&name, &value);
    return std::make_unique<zormonitor::PrefetchedValue>(name, result, std::move(value));
}
