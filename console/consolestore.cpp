// The console's view of the module's configuration store: a page of the
// table read with as few requests as the page needs, the committed file
// beside it, the edits each login has sent, and Discard.
//
// Discard: the store is one for every session, so there is no way to take
// back only this login's edits once others have edited too. Discard brings
// the committed Monitor.cfg back into the store, and with it every
// session's uncommitted edits go (console logins and socket sessions
// alike); the page says so, naming whose edits it knows of, before it asks
// to go ahead. It works through the module's own requests: the entries that
// differ from the file are set, deleted or added until the store holds the
// file's entries again.
#include "consolecore.h"

#include "entrycheck.h"
#include "monitorkeys.h"
#include "monitoring.h"
#include "request.h"
#include "showdiff.h"
#include "xmlenvironment.h"
#include "zorpath.h"

#include <algorithm>
#include <cstdlib>

namespace console {

namespace {

// Where the module keeps the committed configuration (under ZOR_ROOT).
const char* const kConfigFile = "/etc/configs/monitor/Monitor.cfg";

bool failed(const RequestOutcome& o) { return o.hostError || o.exception || !o.result || *o.result < 0; }

std::string describeFailure(const HostRequest& request, const RequestOutcome& o)
{
    std::string why = o.hostError   ? *o.hostError
                      : o.exception ? "exception " + o.exception->type
                                    : "result " + std::to_string(o.result.value_or(0)) + ": " + o.reply;
    return request.op + " " + request.key + " failed (" + why + ")";
}

} // namespace

void ConsoleCore::countEdit(WebSession& s, const HostRequest& request, const RequestOutcome& outcome)
{
    bool edit = request.type == KEY_TYPE_SET || request.type == KEY_TYPE_ADD || request.type == KEY_TYPE_DEL;
    if (!edit || failed(outcome) || request.key.rfind(monitorkeys::kConfig, 0) != 0) return;
    std::lock_guard<std::mutex> lock(_sessionsMutex);
    ++s.edits;
}

void ConsoleCore::clearEdits()
{
    std::lock_guard<std::mutex> lock(_sessionsMutex);
    for (auto& [id, session] : _sessions) session->edits = 0;
}

EditsSummary ConsoleCore::edits(WebSession&)
{
    EditsSummary out;
    {
        std::lock_guard<std::mutex> lock(_sessionsMutex);
        std::map<std::string, unsigned> byUser;
        for (const auto& [id, session] : _sessions) {
            if (session->edits > 0) byUser[session->user] += session->edits;
        }
        out.users.assign(byUser.begin(), byUser.end());
    }
    out.socketSessions = socketSessions();
    return out;
}

zor::Expected<EntrySlice> ConsoleCore::entries(WebSession& s, const EntryQuery& query)
{
    if (query.filtered()) return searched(s, query);
    // A page without a filter needs the count and its own entries only,
    // read together so that no edit falls between them.
    std::lock_guard<FairMutex> lock(_moduleMutex);
    auto runner = [this, &s](const HostRequest& r) { return runOpened(s, r); };
    HostRequest countRequest = entryCountRequest();
    RequestOutcome counted = runner(countRequest);
    if (failed(counted)) return zor::Error{describeFailure(countRequest, counted)};
    EntrySlice slice;
    slice.total = std::strtoul(counted.reply.c_str(), nullptr, 10);
    for (size_t i = query.offset; i < slice.total && i < query.offset + query.limit; ++i) {
        HostRequest get = entryRequest(i);
        RequestOutcome outcome = runner(get);
        if (failed(outcome)) return zor::Error{describeFailure(get, outcome)};
        EntryRow row;
        row.index = i;
        row.xml = outcome.reply;
        row.readable = readEntry(row.xml, &row.form);
        slice.rows.push_back(std::move(row));
    }
    return slice;
}

zor::Expected<EntrySlice> ConsoleCore::searched(WebSession& s, const EntryQuery& query)
{
    // Every entry is read, but one at a time, each taking the module for its
    // own request as a whole table's read does; each is looked at as it
    // comes and only the page's texts are kept, not a copy of the table.
    auto runner = [this, &s](const HostRequest& r) {
        std::lock_guard<FairMutex> lock(_moduleMutex);
        return runOpened(s, r);
    };
    HostRequest countRequest = entryCountRequest();
    RequestOutcome counted = runner(countRequest);
    if (failed(counted)) return zor::Error{describeFailure(countRequest, counted)};
    const size_t count = std::strtoul(counted.reply.c_str(), nullptr, 10);
    EntrySlice slice;
    for (size_t i = 0; i < count; ++i) {
        HostRequest get = entryRequest(i);
        RequestOutcome outcome = runner(get);
        if (failed(outcome)) return zor::Error{describeFailure(get, outcome)};
        addToSlice(slice, i, outcome.reply, query);
    }
    return slice;
}

zor::Expected<std::vector<std::string>> ConsoleCore::committedTable()
{
    const std::string path = zorResolvePath(kConfigFile);
    std::vector<std::string> texts;
    std::string problem;
    // Parsed as the monitor thread parses it: under the host's parse lock,
    // each load judged on its own.
    std::lock_guard<std::mutex> parsing(hostParseMutex());
    try {
        StartXMLPlatform();
    } catch (const MonitoringException& e) {
        return zor::Error{e.getMessage()};
    }
    resetXMLErrors();
    try {
        for (const MonitorEntry& entry : MonitoringConfiguration::load(path)) {
            texts.push_back(MonitoringConfiguration::generate(entry));
        }
    } catch (const MonitoringException& e) {
        const std::string why = MonitoringConfiguration::lastLoadFailure();
        problem = "cannot read " + path + ": " + e.getMessage() + (why.empty() ? "" : ": " + why);
    }
    StopXMLPlatform([] {});
    if (!problem.empty()) return zor::Error{problem};
    return texts;
}

RequestOutcome ConsoleCore::discard(WebSession& s)
{
    RequestOutcome o;
    zor::Expected<std::vector<std::string>> file = committedTable();
    if (!file) {
        o.hostError = file.error();
        return o;
    }
    // Read and reverted under one hold of the module: no edit of another
    // session falls between.
    std::lock_guard<FairMutex> lock(_moduleMutex);
    auto runner = [this, &s](const HostRequest& r) { return runOpened(s, r); };
    std::vector<std::string> store;
    std::string error;
    if (!readEntries(runner, &store, &error)) {
        o.hostError = error;
        return o;
    }
    size_t sent = 0;
    for (const StoreStep& step : revertSteps(store, *file)) {
        std::string index = std::to_string(step.index);
        zor::Expected<HostRequest> request =
            step.op == StoreStep::Op::set   ? makeRequest("set", monitorkeys::kEntry + index + "/", index + "/" + step.xml)
            : step.op == StoreStep::Op::del ? makeRequest("del", monitorkeys::kEntry + index + "/", std::nullopt)
                                            : makeRequest("add", std::string(monitorkeys::kEntry), step.xml);
        if (!request) {
            o.hostError = request.error();
            return o;
        }
        RequestOutcome done = runner(*request);
        if (failed(done)) return done;
        ++sent;
    }
    clearEdits();
    s.committed = share(std::move(*file));
    o.result = 0;
    o.reply = std::to_string(sent) + " request(s) brought the store back to the committed file";
    return o;
}

std::vector<std::pair<size_t, monvalidate::Problem>> ConsoleCore::tableProblems(WebSession& s)
{
    std::vector<std::pair<size_t, monvalidate::Problem>> out;
    zor::Expected<std::vector<std::string>> entries = table(s);
    if (!entries) {
        monvalidate::Problem p;
        p.file = "the table";
        p.message = entries.error();
        out.emplace_back(0, p);
        return out;
    }
    // One document, each entry on lines of its own, checked as a file is:
    // one parse however long the table.
    std::string document = "<monitor-config>\n";
    std::vector<unsigned long> firstLine;
    unsigned long line = 2;
    for (const std::string& entry : *entries) {
        firstLine.push_back(line);
        document += entry + "\n";
        line += 1 + static_cast<unsigned long>(std::count(entry.begin(), entry.end(), '\n'));
    }
    document += "</monitor-config>\n";
    for (monvalidate::Problem p : monvalidate::validateText(document, monvalidate::DocumentKind::monitorConfig,
                                                            catalogueOf(_thread), "Monitor.cfg")) {
        auto after = std::upper_bound(firstLine.begin(), firstLine.end(), p.line);
        if (p.line == 0 || after == firstLine.begin() || p.line >= line) {
            p.file = "the table";
            out.emplace_back(0, p);
            continue;
        }
        size_t index = static_cast<size_t>(after - firstLine.begin()) - 1;
        p.file = "entry " + std::to_string(index);
        p.line = p.line - firstLine[index] + 1;
        out.emplace_back(index, p);
    }
    return out;
}

} // namespace console
