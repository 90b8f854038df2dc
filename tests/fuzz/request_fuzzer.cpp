// Fuzzes the module's request path the way the host drives it: the module is
// loaded with dlopen, a session is opened, and the input is decoded into a
// run of requests that go through the exported entry points. After every
// request the configuration table, read back through the get keys, must be
// unchanged unless the request was a successful change. At the end of each
// input a commit must write a Monitor.cfg that the reader accepts and that
// holds exactly the table the module serves.
//
// Input: records separated by '\n', each
//   byte 0   access type: 'g' get, 's' set, 'a' add, 'd' del, 'c' commit
//            (any other byte: its value modulo 5)
//   byte 1   key id: 'a' + id for ids 0 to 18, any other byte its signed value
//   then     the key: the registered path of that id followed by the text up
//            to the first tab, or, when that text starts with '=', the rest
//            of it alone
//   then     after the tab, the value (all remaining bytes); no tab: no value
//
// The fuzzed module is a copy of the real one (same frame and handlers)
// that also exports the reset of the parser's sticky error flag; each input
// starts with a clean flag and from the same two-entry table.
#include "fuzz_check.h"
#include "monitoring.h"
#include "xmlutils.h"
#include "zorglobals.h"
#include "zormodparam.h"
#include "zormodule.h"

#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <streambuf>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int kEntryCountKey = 6;
const int kEntryKey = 7;
const int kTriggerKey = 9;
const char* const kEntryPath = "/zor/public/system/monitor/config/monitor-entry/";
const char* const kCountPath = "/zor/public/system/monitor/config/monitor-entry-count/";
const char* const kCommitPath = "/zor/public/system/monitor/commit/";
const int kReplySize = 64; // small, so that replies grow
const int kMaxRequests = 64;

// The table every input starts from.
const char* const kBaseline[] = {
    "<monitor-entry variable=\"cpu-load\" log=\"true\"><frequency><seconds>60</seconds></frequency>"
    "<action-trigger value-type=\"average\" permanent=\"false\"><single-value comparison=\"greater-than\" "
    "value=\"50\"/><action max-frequency=\"3600\"><email>ops@example.com</email><log/></action>"
    "</action-trigger></monitor-entry>",
    "<monitor-entry variable=\"fan-speed\" log=\"false\"><frequency><weekly every=\"1\" day-of-week=\"mon\">"
    "<time-of-day hour=\"6\" min=\"05\"/></weekly></frequency><action-trigger value-type=\"instantaneous\" "
    "permanent=\"true\"><interval-value low-value=\"10\" high-value=\"20\" inside-outside-range=\"outside\"/>"
    "<action max-frequency=\"0\"><trap/><udp/></action></action-trigger></monitor-entry>",
};
// Added before the closing commit, so that every input ends in a real save.
const char* const kCommitEntry =
    "<monitor-entry variable=\"uptime\" log=\"false\"><frequency><asynchronous/></frequency></monitor-entry>";

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

struct Row {
    std::string path;
    int id;
    int type;
};

struct Listener : ZORListener {
    int registerKey(const char* keyName, int keyId, CBFunc, int type, void*) override
    {
        if (rows.size() < 64) {
            rows.push_back({keyName, keyId, type});
        }
        return 0;
    }
    std::vector<Row> rows;
};

struct Module {
    OpenSessionFunc open = nullptr;
    CloseSessionFunc close = nullptr;
    RequestEntryFunc get = nullptr, set = nullptr, add = nullptr, del = nullptr, commit = nullptr;
    void (*resetParserErrors)() = nullptr;

    RequestEntryFunc entryFor(int type) const
    {
        switch (type) {
        case KEY_TYPE_GET:
            return get;
        case KEY_TYPE_SET:
            return set;
        case KEY_TYPE_ADD:
            return add;
        case KEY_TYPE_DEL:
            return del;
        default:
            return commit;
        }
    }
};

Module gModule;
std::string gRoot;
std::string gConfigFile;
Listener gListener; // the rows of the first session, for the key paths
// ZOR_FUZZ_VERBOSE set: every request and its answer on standard error, to
// see what a corpus input does.
bool gVerbose = false;

template <typename F>
void resolve(void* handle, const char* name, F* slot)
{
    *slot = reinterpret_cast<F>(dlsym(handle, name));
    FUZZ_CHECK(*slot != nullptr, "the module lacks %s", name);
}

struct Reply {
    int result = 0;
    std::string text;
};

class Session {
public:
    Session()
    {
        record.iStructSize = sizeof(module_funcs);
        record.iStructVersion = 1;
        hostTable.iStructSize = sizeof(system_funcs);
        hostTable.iStructVersion = 1;
        hostTable.session = &listener;
        int opened = gModule.open(&record, &hostTable);
        FUZZ_CHECK(opened == 0 && record.private_data != nullptr, "OpenSession returned %d", opened);
    }
    ~Session() { gModule.close(&record); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Sends one request; an exception other than a read's configuration
    /// error is a finding, as it would reach the host.
    std::optional<Reply> send(int type, int id, const std::string& key, const std::optional<std::string>& value)
    {
        ZorModParam parms(key.c_str(), value ? value->c_str() : nullptr, kReplySize);
        Reply reply;
        try {
            reply.result = gModule.entryFor(type)(&parms, id, type, record.private_data);
        } catch (const MonitoringException& e) {
            FUZZ_CHECK(type == KEY_TYPE_GET, "a change let \"%s\" escape (key %s)", e.getMessage().c_str(),
                       key.c_str());
            return std::nullopt;
        }
        int used = 0;
        const char* bytes = parms.getMessage(&used);
        FUZZ_CHECK(used >= 0 && (used == 0 || bytes != nullptr), "reply length %d", used);
        reply.text.assign(bytes, static_cast<size_t>(used));
        if (!reply.text.empty() && reply.text.back() == '\0') {
            reply.text.pop_back();
        }
        return reply;
    }

    Reply sendOk(int type, int id, const std::string& key, const std::optional<std::string>& value = std::nullopt)
    {
        std::optional<Reply> reply = send(type, id, key, value);
        FUZZ_CHECK(reply && reply->result == 0, "%s failed: %d %s", key.c_str(), reply ? reply->result : 0,
                   reply ? reply->text.c_str() : "(exception)");
        return *reply;
    }

    /// The table as the get keys serve it: one generated text per entry.
    std::vector<std::string> entries()
    {
        Reply count = sendOk(KEY_TYPE_GET, kEntryCountKey, kCountPath);
        long n = std::strtol(count.text.c_str(), nullptr, 10);
        FUZZ_CHECK(n >= 0 && n < 100000, "entry count \"%s\"", count.text.c_str());
        std::vector<std::string> entries;
        for (long i = 0; i < n; ++i) {
            entries.push_back(sendOk(KEY_TYPE_GET, kEntryKey, kEntryPath + std::to_string(i) + "/").text);
        }
        return entries;
    }

private:
    Listener listener;
    module_funcs record{};
    system_funcs hostTable{};
};

std::string pathFor(int type, int id)
{
    const Row* any = nullptr;
    for (const Row& row : gListener.rows) {
        if (row.id == id && row.type == type) {
            return row.path;
        }
        if (row.id == id && any == nullptr) {
            any = &row;
        }
    }
    return any != nullptr ? any->path : std::string("/zor/public/system/monitor/");
}

bool knownResult(int result)
{
    switch (result) {
    case 0:
    case -1:
    case -2:
    case -3:
    case -6:
    case -9:
    case -9999:
    case -10000:
        return true;
    default:
        return false;
    }
}

// before: the table as it stood before this request; becomes the table
// after it, which is where the next request starts.
void runRequest(Session& session, const std::string& record, std::vector<std::string>& table)
{
    static const int types[] = {KEY_TYPE_GET, KEY_TYPE_SET, KEY_TYPE_ADD, KEY_TYPE_DEL, KEY_TYPE_COMMIT};
    if (record.size() < 2) {
        return;
    }
    const unsigned char op = static_cast<unsigned char>(record[0]);
    int type = op == 'g' ? KEY_TYPE_GET
               : op == 's' ? KEY_TYPE_SET
               : op == 'a' ? KEY_TYPE_ADD
               : op == 'd' ? KEY_TYPE_DEL
               : op == 'c' ? KEY_TYPE_COMMIT
                           : types[op % 5];
    const unsigned char idByte = static_cast<unsigned char>(record[1]);
    int id = idByte >= 'a' && idByte <= 's' ? idByte - 'a' : static_cast<signed char>(idByte);

    std::string rest = record.substr(2);
    std::optional<std::string> value;
    size_t tab = rest.find('\t');
    if (tab != std::string::npos) {
        value = rest.substr(tab + 1);
        rest.erase(tab);
    }
    std::string key = !rest.empty() && rest[0] == '=' ? rest.substr(1) : pathFor(type, id) + rest;

    const std::vector<std::string> before = std::move(table);
    std::optional<Reply> reply = session.send(type, id, key, value);
    table = session.entries();
    const std::vector<std::string>& after = table;

    if (gVerbose) {
        std::fprintf(stderr, "type %d id %d key %s -> %s\n", type, id, key.c_str(),
                     reply ? (std::to_string(reply->result) + " " + reply->text.substr(0, 120)).c_str() : "exception");
    }
    if (!reply) {
        FUZZ_CHECK(before == after, "a read that failed changed the table (key %s)", key.c_str());
        return;
    }
    FUZZ_CHECK(knownResult(reply->result), "unexpected result %d for key %s: %s", reply->result, key.c_str(),
               reply->text.c_str());
    const bool change = (type == KEY_TYPE_SET || type == KEY_TYPE_ADD || type == KEY_TYPE_DEL) &&
                        (id == kEntryKey || id == kTriggerKey);
    if (!change || reply->result != 0) {
        FUZZ_CHECK(before == after, "result %d for key %s changed the table: %s", reply->result, key.c_str(),
                   reply->text.c_str());
        return;
    }
    if (id == kEntryKey && type == KEY_TYPE_ADD) {
        FUZZ_CHECK(after.size() == before.size() + 1, "an added entry did not appear");
    } else if (id == kEntryKey && type == KEY_TYPE_DEL) {
        FUZZ_CHECK(after.size() + 1 == before.size(), "a removed entry is still there");
    } else {
        FUZZ_CHECK(after.size() == before.size(), "a trigger change changed the number of entries");
    }
}

// Every input ends in a save: whatever the requests did to the table, the
// file written must read back as exactly that table.
void commitAndCheck(Session& session)
{
    gModule.resetParserErrors();
    session.sendOk(KEY_TYPE_ADD, kEntryKey, kEntryPath, std::string(kCommitEntry));
    Reply saved = session.sendOk(KEY_TYPE_COMMIT, 17, kCommitPath);
    FUZZ_CHECK(saved.text == " Monitor configuration saved in " + gConfigFile, "commit reply %s", saved.text.c_str());

    const std::vector<std::string> served = session.entries();
    std::vector<MonitorEntry> loaded;
    resetXMLErrorsForTest();
    try {
        loaded = MonitoringConfiguration::load(gConfigFile);
    } catch (const MonitoringException& e) {
        FUZZ_CHECK(false, "the saved file does not load: %s", e.getMessage().c_str());
    }
    FUZZ_CHECK(loaded.size() == served.size(), "the file holds %zu entries, the module %zu", loaded.size(),
               served.size());
    for (size_t i = 0; i < loaded.size(); ++i) {
        std::string fromFile = MonitoringConfiguration::generate(loaded[i]);
        FUZZ_CHECK(fromFile == served[i], "entry %zu differs:\nfile:   %s\nserved: %s", i, fromFile.c_str(),
                   served[i].c_str());
    }
}

void restoreBaseline(Session& session)
{
    for (size_t n = session.entries().size(); n > 0; --n) {
        session.sendOk(KEY_TYPE_DEL, kEntryKey, std::string(kEntryPath) + "0/");
    }
    for (const char* entry : kBaseline) {
        session.sendOk(KEY_TYPE_ADD, kEntryKey, kEntryPath, std::string(entry));
    }
}

void writeFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    FUZZ_CHECK(out.good(), "cannot write %s", path.c_str());
}

void removeRoot()
{
    std::error_code ec;
    fs::remove_all(gRoot, ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Never freed: the standard streams flush through it at exit.
    NullBuffer* discard = new NullBuffer;
    std::cerr.rdbuf(discard);
    std::cout.rdbuf(discard);
    zor_logstream.rdbuf(discard);

    // A private root on a memory file system when there is one: every input
    // ends in a synced save.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
    std::string pattern = base + "/zorfuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "cannot make a root under %s", base.c_str());
    gRoot = pattern;
    std::atexit(removeRoot);
    gVerbose = std::getenv("ZOR_FUZZ_VERBOSE") != nullptr;
    std::string config = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>";
    for (const char* entry : kBaseline) {
        config += entry;
    }
    config += "</monitor-config>\n";
    writeFile(gRoot + "/etc/configs/monitor/Monitor.cfg", config);
    std::ifstream presets(std::string(ZOR_TEST_DATA) + "/monitoring/PresetTriggers.cfg", std::ios::binary);
    writeFile(gRoot + "/etc/configs/monitor/PresetTriggers.cfg",
              std::string(std::istreambuf_iterator<char>(presets), std::istreambuf_iterator<char>()));
    writeFile(gRoot + "/var/log/monitor/d20240301.log", "2024-03-01 12:00:00 cpu-load=0.52\n");
    fs::create_directories(gRoot + "/var/log/monitor/folder.log");
    setenv("ZOR_ROOT", gRoot.c_str(), 1);
    gConfigFile = gRoot + "/etc/configs/monitor/Monitor.cfg";

    void* handle = dlopen(ZOR_FUZZ_MODULE, RTLD_NOW | RTLD_LOCAL);
    FUZZ_CHECK(handle != nullptr, "cannot load %s: %s", ZOR_FUZZ_MODULE, dlerror());
    resolve(handle, "OpenSession", &gModule.open);
    resolve(handle, "CloseSession", &gModule.close);
    resolve(handle, ZOR_SYM_ONGET, &gModule.get);
    resolve(handle, ZOR_SYM_ONSET, &gModule.set);
    resolve(handle, ZOR_SYM_ONADD, &gModule.add);
    resolve(handle, ZOR_SYM_ONDEL, &gModule.del);
    resolve(handle, ZOR_SYM_ONCOMMIT, &gModule.commit);
    resolve(handle, "zorResetXMLErrorsForTest", &gModule.resetParserErrors);

    // The reader of the saved files in this process; the module has its own.
    MonitoringConfiguration::initialize();

    // The first session loads the files above; its rows give the key paths.
    module_funcs record{sizeof(module_funcs), 1, nullptr, nullptr, nullptr, nullptr, 0};
    system_funcs table{sizeof(system_funcs), 1, &gListener, nullptr};
    FUZZ_CHECK(gModule.open(&record, &table) == 0, "the first session did not open");
    gModule.close(&record);
    Session session;
    FUZZ_CHECK(session.entries().size() == 2, "Monitor.cfg was not loaded at the first session");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    gModule.resetParserErrors();
    Session session;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> table = session.entries();
    size_t start = 0;
    for (int n = 0; start < input.size() && n < kMaxRequests; ++n) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        runRequest(session, input.substr(start, end - start), table);
        start = end + 1;
    }
    commitAndCheck(session);
    restoreBaseline(session);
    return 0;
}
