#include "showdiff.h"

#include "monitorkeys.h"

#include "replyformat.h"
#include "zormodule.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

bool failed(const RequestOutcome& outcome)
{
    return outcome.exception || outcome.hostError || !outcome.result || *outcome.result < 0;
}

std::string describeFailure(const HostRequest& request, const RequestOutcome& outcome)
{
    std::string why = outcome.hostError  ? *outcome.hostError
                      : outcome.exception ? "exception " + outcome.exception->type
                                          : "result " + std::to_string(outcome.result.value_or(0)) + ": " +
                                                outcome.reply;
    return "get " + request.key + " failed (" + why + ")";
}

enum class Step { keep, remove, add };

/// The shortest edit script between two entry lists, through their longest
/// common subsequence. Tables are small (tens of entries), so the
/// quadratic table costs nothing worth a cleverer algorithm.
std::vector<Step> editScript(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    size_t n = a.size(), m = b.size();
    std::vector<std::vector<unsigned>> common(n + 1, std::vector<unsigned>(m + 1, 0));
    for (size_t i = n; i-- > 0;) {
        for (size_t j = m; j-- > 0;) {
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
        }
    }
    std::vector<Step> steps;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a[i] == b[j]) {
            steps.push_back(Step::keep);
            ++i, ++j;
        } else if (j < m && (i == n || common[i][j + 1] >= common[i + 1][j])) {
            steps.push_back(Step::add);
            ++j;
        } else {
            steps.push_back(Step::remove);
            ++i;
        }
    }
    return steps;
}

} // namespace

HostRequest entryCountRequest()
{
    HostRequest r;
    r.op = "get";
    r.type = KEY_TYPE_GET;
    r.key = monitorkeys::kEntryCount;
    return r;
}

HostRequest entryRequest(size_t index)
{
    HostRequest r;
    r.op = "get";
    r.type = KEY_TYPE_GET;
    r.key = std::string(monitorkeys::kEntry) + std::to_string(index) + "/";
    return r;
}

bool readEntries(const RequestRunner& run, std::vector<std::string>* entries, std::string* error)
{
    HostRequest count = entryCountRequest();
    RequestOutcome counted = run(count);
    if (failed(counted)) {
        *error = describeFailure(count, counted);
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(counted.reply.c_str(), &end, 10);
    if (errno != 0 || end == counted.reply.c_str() || *end != '\0' || n < 0) {
        *error = "the entry count is not a number: " + counted.reply;
        return false;
    }
    entries->clear();
    for (long i = 0; i < n; ++i) {
        HostRequest get = entryRequest(static_cast<size_t>(i));
        RequestOutcome outcome = run(get);
        if (failed(outcome)) {
            *error = describeFailure(get, outcome);
            return false;
        }
        entries->push_back(outcome.reply);
    }
    return true;
}

void printEntries(const std::vector<std::string>& entries, std::ostream& out)
{
    for (size_t i = 0; i < entries.size(); ++i) {
        out << i << ' ' << entries[i] << '\n';
    }
    out.flush();
}

std::vector<EntryChange> diffEntries(const std::vector<std::string>& before, const std::vector<std::string>& after)
{
    std::vector<EntryChange> changes;
    std::vector<Step> steps = editScript(before, after);
    size_t i = 0, j = 0;
    for (size_t s = 0; s < steps.size();) {
        if (steps[s] == Step::keep) {
            ++i, ++j, ++s;
            continue;
        }
        std::vector<size_t> gone, come;
        for (; s < steps.size() && steps[s] != Step::keep; ++s) {
            if (steps[s] == Step::remove) {
                gone.push_back(i++);
            } else {
                come.push_back(j++);
            }
        }
        for (size_t k = 0; k < std::max(gone.size(), come.size()); ++k) {
            if (k < gone.size() && k < come.size()) {
                changes.push_back({EntryChange::changed, gone[k], come[k]});
            } else if (k < gone.size()) {
                changes.push_back({EntryChange::removed, gone[k], 0});
            } else {
                changes.push_back({EntryChange::added, 0, come[k]});
            }
        }
    }
    return changes;
}

void printDiff(const std::vector<std::string>& before, const std::vector<std::string>& after, bool json,
               std::ostream& out, const DiffWords& words)
{
    using Json = nlohmann::ordered_json;
    Json removed = Json::array(), added = Json::array(), changed = Json::array();
    std::vector<std::string> lines;
    if (words) {
        lines = words(before, after);
    }
    if (!json) {
        for (const std::string& line : lines) {
            out << line << '\n';
        }
    }
    for (const EntryChange& c : diffEntries(before, after)) {
        if (c.kind == EntryChange::changed) {
            changed.push_back(
                {{"was", c.was}, {"index", c.index}, {"before", before[c.was]}, {"after", after[c.index]}});
        } else if (c.kind == EntryChange::removed) {
            removed.push_back({{"was", c.was}, {"entry", before[c.was]}});
        } else {
            added.push_back({{"index", c.index}, {"entry", after[c.index]}});
        }
        if (!json) {
            if (c.kind != EntryChange::added) {
                out << "- " << c.was << ' ' << before[c.was] << '\n';
            }
            if (c.kind != EntryChange::removed) {
                out << "+ " << c.index << ' ' << after[c.index] << '\n';
            }
        }
    }
    if (json) {
        Json line;
        line["diff"] = {{"changed", changed}, {"removed", removed}, {"added", added}};
        if (words) {
            line["diff"]["words"] = lines;
        }
        out << line.dump(-1, ' ', true) << std::endl;
        return;
    }
    if (changed.empty() && removed.empty() && added.empty()) {
        out << "no changes against the committed configuration\n";
    } else {
        out << changed.size() << " changed, " << removed.size() << " removed, " << added.size()
            << " added against the committed configuration\n";
    }
    out.flush();
}

int showConfiguration(const RequestRunner& run, bool json, std::ostream& out, std::ostream& err)
{
    RequestRunner shown = [&](const HostRequest& request) {
        RequestOutcome outcome = run(request);
        if (json) {
            out << jsonLine(request, outcome) << std::endl;
        }
        return outcome;
    };
    std::vector<std::string> entries;
    std::string error;
    if (!readEntries(shown, &entries, &error)) {
        err << "zorhost: " << error << '\n';
        return 1;
    }
    if (!json) {
        printEntries(entries, out);
    }
    return 0;
}

SessionDiff::SessionDiff(RequestRunner run, bool json, std::ostream& out, std::ostream& err, DiffWords words)
    : _run(std::move(run)), _json(json), _words(std::move(words)), _out(out), _err(err)
{
    committed();
}

bool SessionDiff::read(std::vector<std::string>* entries)
{
    std::string error;
    if (!readEntries(_run, entries, &error)) {
        _err << "zorhost: diff: " << error << '\n';
        return false;
    }
    return true;
}

void SessionDiff::print()
{
    std::vector<std::string> now;
    if (_ready && read(&now)) {
        printDiff(_committed, now, _json, _out, _words);
    }
}

void SessionDiff::committed() { _ready = read(&_committed); }
