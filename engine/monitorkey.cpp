// What the host asks of the running thread: the variable key's answers, the
// variables with their definitions, the status.
#include "monitorthread.h"

namespace zormon {

int MonitorThread::currentValue(const std::string& name, std::string* value)
{
    std::shared_ptr<const Catalogue> catalogue;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const std::time_t now = _clock->now();
        for (const Watched& watched : _watched) {
            const EntryState& state = *watched.state;
            if (state.latestAt != 0 && state.entry.getVariableName() == name && now - state.latestAt < _options.interval &&
                now >= state.latestAt) {
                *value = state.latest.text;
                return 0;
            }
        }
        catalogue = _catalogue;
    }
    const auto found = catalogue->find(name);
    if (found == catalogue->end()) {
        *value = "unknown variable " + name;
        return kUnknownVariable;
    }
    std::string raw;
    Sample sample;
    if (!found->second.read(&raw)) {
        *value = raw;
        return kValueUnavailable;
    }
    if (!parseSample(raw, &sample)) {
        *value = name + " gave an empty value";
        return kValueUnavailable;
    }
    *value = sample.text;
    return 0;
}

std::vector<std::pair<std::string, std::string>> MonitorThread::variables() const
{
    std::shared_ptr<const Catalogue> catalogue;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        catalogue = _catalogue;
    }
    std::vector<std::pair<std::string, std::string>> list;
    for (const auto& v : *catalogue) {
        list.emplace_back(v.first, v.second.definition);
    }
    return list;
}

MonitorThreadStatus MonitorThread::status() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _status;
}

} // namespace zormon
