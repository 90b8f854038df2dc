// Fuzzes the module's request path the way the host drives it: the module is
// loaded with dlopen, a session is opened, and the input is decoded into a
// run of requests that go through the exported entry points. After every
// request the configuration table, read back through the get keys, must be
// unchanged unless the request was a successful change. At the end of each
// input a commit must write a Monitor.cfg that holds only characters XML 1.0
// allows, that the reader accepts and that holds exactly the table the module
// serves.
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
#include "xmlenvironment.h"
#include "zorglobals.h"
#include "zormodparam.h"
#include "zormodule.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int kEntryCountKey = 6;
const int kEntryKey = 7;
const int kTriggerKey = 9;
const std::string kEntryPath = "/zor/public/system/monitor/config/monitor-entry/";
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

// The access types in the order of the input's letters.
const char kLetters[] = "gsadc";
const int kTypes[] = {KEY_TYPE_GET, KEY_TYPE_SET, KEY_TYPE_ADD, KEY_TYPE_DEL, KEY_TYPE_COMMIT};
const char* const kEntrySymbols[] = {ZOR_SYM_ONGET, ZOR_SYM_ONSET, ZOR_SYM_ONADD, ZOR_SYM_ONDEL, ZOR_SYM_ONCOMMIT};
const int kKnownResults[] = {0, -1, -2, -3, -6, -9, -9999, -10000};

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

// The registered paths by key id and access type, and by key id alone; the
// first registration of each wins.
struct Listener : ZORListener {
    int registerKey(const char* keyName, int keyId, CBFunc, int type, void*) override
    {
        byIdAndType.emplace(std::make_pair(keyId, type), keyName);
        byId.emplace(keyId, keyName);
        return 0;
    }
    std::map<std::pair<int, int>, std::string> byIdAndType;
    std::map<int, std::string> byId;
};

OpenSessionFunc gOpen = nullptr;
CloseSessionFunc gClose = nullptr;
RequestEntryFunc gEntries[5] = {}; // in the order of kTypes
void (*gResetParserErrors)() = nullptr;
std::string gRoot;
std::string gConfigFile;
Listener gPaths; // the registrations of the first session

void* resolve(void* handle, const char* name)
{
    void* symbol = dlsym(handle, name);
    FUZZ_CHECK(symbol != nullptr, "the module lacks %s", name);
    return symbol;
}

struct Reply {
    int result = 0;
    std::string text;
};

class Session {
public:
    Session()
    {
        int opened = gOpen(&record, &hostTable);
        FUZZ_CHECK(opened == 0 && record.private_data != nullptr, "OpenSession returned %d", opened);
    }
    ~Session() { gClose(&record); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Sends one request; an exception other than a read's configuration
    /// error is a finding, as it would reach the host.
    std::optional<Reply> send(int typeIndex, int id, const std::string& key, const std::optional<std::string>& value)
    {
        ZorModParam parms(key.c_str(), value ? value->c_str() : nullptr, kReplySize);
        const int type = kTypes[typeIndex];
        Reply reply;
        try {
            reply.result = gEntries[typeIndex](&parms, id, type, record.private_data);
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

    Reply sendOk(int typeIndex, int id, const std::string& key, const std::optional<std::string>& value = std::nullopt)
    {
        std::optional<Reply> reply = send(typeIndex, id, key, value);
        FUZZ_CHECK(reply && reply->result == 0, "%s failed: %d %s", key.c_str(), reply ? reply->result : 0,
                   reply ? reply->text.c_str() : "(exception)");
        return *reply;
    }

    /// The table as the get keys serve it: one generated text per entry.
    std::vector<std::string> entries()
    {
        Reply count = sendOk(0, kEntryCountKey, "/zor/public/system/monitor/config/monitor-entry-count/");
        long n = std::strtol(count.text.c_str(), nullptr, 10);
        FUZZ_CHECK(n >= 0 && n < 100000, "entry count \"%s\"", count.text.c_str());
        std::vector<std::string> entries;
        for (long i = 0; i < n; ++i) {
            entries.push_back(sendOk(0, kEntryKey, kEntryPath + std::to_string(i) + "/").text);
        }
        return entries;
    }

    Listener listener;

private:
    module_funcs record{sizeof(module_funcs), 1, nullptr, nullptr, nullptr, nullptr, 0};
    system_funcs hostTable{sizeof(system_funcs), 1, &listener, nullptr};
};

// The registered path of the id for that access type, else of any type.
std::string pathFor(int type, int id)
{
    auto exact = gPaths.byIdAndType.find({id, type});
    if (exact != gPaths.byIdAndType.end()) {
        return exact->second;
    }
    auto any = gPaths.byId.find(id);
    return any != gPaths.byId.end() ? any->second : "/zor/public/system/monitor/";
}

// table: the table as it stood before this request; becomes the table after
// it, which is where the next request starts.
void runRequest(Session& session, const std::string& record, std::vector<std::string>& table)
{
    if (record.size() < 2) {
        return;
    }
    const unsigned char op = static_cast<unsigned char>(record[0]);
    const void* letter = std::memchr(kLetters, op, 5);
    const int typeIndex = letter != nullptr ? static_cast<const char*>(letter) - kLetters : op % 5;
    const int type = kTypes[typeIndex];
    const unsigned char idByte = static_cast<unsigned char>(record[1]);
    const int id = idByte >= 'a' && idByte <= 's' ? idByte - 'a' : static_cast<signed char>(idByte);

    std::string rest = record.substr(2);
    std::optional<std::string> value;
    size_t tab = rest.find('\t');
    if (tab != std::string::npos) {
        value = rest.substr(tab + 1);
        rest.erase(tab);
    }
    std::string key = !rest.empty() && rest[0] == '=' ? rest.substr(1) : pathFor(type, id) + rest;

    const std::vector<std::string> before = std::move(table);
    std::optional<Reply> reply = session.send(typeIndex, id, key, value);
    const std::vector<std::string>& after = table = session.entries();

    if (!reply) {
        FUZZ_CHECK(before == after, "a read that failed changed the table (key %s)", key.c_str());
        return;
    }
    FUZZ_CHECK(std::count(std::begin(kKnownResults), std::end(kKnownResults), reply->result) == 1,
               "unexpected result %d for key %s: %s", reply->result, key.c_str(), reply->text.c_str());
    const bool change = type != KEY_TYPE_GET && type != KEY_TYPE_COMMIT && (id == kEntryKey || id == kTriggerKey);
    if (!change || reply->result != 0) {
        FUZZ_CHECK(before == after, "result %d for key %s changed the table: %s", reply->result, key.c_str(),
                   reply->text.c_str());
        return;
    }
    const int growth = id != kEntryKey ? 0 : type == KEY_TYPE_ADD ? 1 : type == KEY_TYPE_DEL ? -1 : 0;
    const size_t expected = before.size() + growth;
    FUZZ_CHECK(after.size() == expected, "key %s left %zu entries of %zu, expected %zu", key.c_str(), after.size(),
               before.size(), expected);
}

std::string readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every input ends in a save: whatever the requests did to the table, the
// file written must read back as exactly that table.
void commitAndCheck(Session& session)
{
    gResetParserErrors();
    session.sendOk(2, kEntryKey, kEntryPath, std::string(kCommitEntry));
    Reply saved = session.sendOk(4, 17, "/zor/public/system/monitor/commit/");
    FUZZ_CHECK(saved.text == " Monitor configuration saved in " + gConfigFile, "commit reply %s", saved.text.c_str());

    // Only characters that XML 1.0 allows: a file holding others (a control
    // character let in through an XML 1.1 request) never parses again, and
    // every later start-up would see an empty table.
    const std::string written = readWhole(gConfigFile);
    for (size_t i = 0; i < written.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(written[i]);
        FUZZ_CHECK(c >= 0x20 || c == '\t' || c == '\n' || c == '\r', "the saved file holds byte 0x%02x at %zu", c, i);
    }
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

void writeFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    FUZZ_CHECK(out.good(), "cannot write %s", path.c_str());
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
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(gRoot, ec);
    });
    gConfigFile = gRoot + "/etc/configs/monitor/Monitor.cfg";
    writeFile(gConfigFile, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>") + kBaseline[0] +
                               kBaseline[1] + "</monitor-config>\n");
    writeFile(gRoot + "/etc/configs/monitor/PresetTriggers.cfg",
              readWhole(std::string(ZOR_TEST_DATA) + "/monitoring/PresetTriggers.cfg"));
    writeFile(gRoot + "/var/log/monitor/d20240301.log", "2024-03-01 12:00:00 cpu-load=0.52\n");
    fs::create_directories(gRoot + "/var/log/monitor/folder.log");
    setenv("ZOR_ROOT", gRoot.c_str(), 1);

    void* handle = dlopen(ZOR_FUZZ_MODULE, RTLD_NOW | RTLD_LOCAL);
    FUZZ_CHECK(handle != nullptr, "cannot load %s: %s", ZOR_FUZZ_MODULE, dlerror());
    gOpen = reinterpret_cast<OpenSessionFunc>(resolve(handle, "OpenSession"));
    gClose = reinterpret_cast<CloseSessionFunc>(resolve(handle, "CloseSession"));
    for (int i = 0; i < 5; ++i) {
        gEntries[i] = reinterpret_cast<RequestEntryFunc>(resolve(handle, kEntrySymbols[i]));
    }
    gResetParserErrors = reinterpret_cast<void (*)()>(resolve(handle, "zorResetXMLErrorsForTest"));

    // The reader of the saved files in this process; the module has its own.
    MonitoringConfiguration::initialize();

    // The first session loads the files above; its rows give the key paths.
    Session session;
    gPaths = session.listener;
    FUZZ_CHECK(session.entries().size() == 2, "Monitor.cfg was not loaded at the first session");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    gResetParserErrors();
    Session session;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> table = session.entries();
    for (size_t start = 0, n = 0; start < input.size() && n < kMaxRequests; ++n) {
        size_t end = std::min(input.find('\n', start), input.size());
        runRequest(session, input.substr(start, end - start), table);
        start = end + 1;
    }
    commitAndCheck(session);
    // Back to the baseline for the next input.
    for (size_t n = session.entries().size(); n > 0; --n) {
        session.sendOk(3, kEntryKey, kEntryPath + "0/");
    }
    for (const char* entry : kBaseline) {
        session.sendOk(2, kEntryKey, kEntryPath, std::string(entry));
    }
    return 0;
}
