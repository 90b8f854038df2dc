// The pages' form handling against a stand-in for the server: which module
// request each form of the Entries page sends, how the trigger and entry
// fields read back, and what the layout escapes and shows once.
#include "pagekit.h"

#include "configtext.h"
#include "monitorthread.h"

#include "zortest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>

using namespace console;

namespace {

const std::string kKeys = "/zor/public/system/monitor/";

struct Sent {
    std::string op, key;
    std::optional<std::string> value;
};

/// The server's part, recording the requests a page sends and answering
/// each with result 0, or with the text given for its key.
class FakeContext : public PageContext {
public:
    explicit FakeContext(zormon::MonitorThread& thread) : _thread(thread) {}

    RequestOutcome run(WebSession&, const std::string& op, const std::string& key,
                       const std::optional<std::string>& value) override
    {
        sent.push_back({op, key, value});
        RequestOutcome o;
        o.result = 0;
        o.reply = replies.count(key) != 0 ? replies[key] : "done";
        return o;
    }
    zor::Expected<std::vector<std::string>> table(WebSession&) override
    {
        if (!tableError.empty()) return zor::Error{tableError};
        return entries;
    }
    std::vector<std::pair<std::string, PresetForm>> presets(WebSession&) override { return presetList; }
    std::string diffText(WebSession&, bool) override { return "no changes"; }
    std::vector<std::string> validate(WebSession&) override { return problems; }
    RequestOutcome commit(WebSession& s) override { return run(s, "commit", kKeys + "commit/", std::nullopt); }
    zormon::MonitorThread& monitor() override { return _thread; }
    const std::string& logFolder() override { return folder; }
    long interval() override { return 60; }

    std::vector<Sent> sent;
    std::map<std::string, std::string> replies;
    std::vector<std::string> entries, problems;
    std::string tableError, folder = "/nonexistent/";
    std::vector<std::pair<std::string, PresetForm>> presetList;

private:
    zormon::MonitorThread& _thread;
};

Params form(std::map<std::string, std::string> fields)
{
    return [fields](const std::string& name) { return fields.count(name) != 0 ? fields.at(name) : std::string(); };
}

class ConsolePages : public ::testing::Test {
protected:
    ConsolePages()
    {
        setenv("ZOR_ROOT", _root.path().c_str(), 1);
        zormon::MonitorThreadOptions o;
        o.systemRoot = _root.at("machine");
        o.hostLog = [](const std::string&) {};
        _thread = std::make_unique<zormon::MonitorThread>(o);
        _c = std::make_unique<FakeContext>(*_thread);
        _s.user = "admin";
        _s.csrf = "tok";
        PresetForm hot;
        hot.name = "hot";
        hot.variable = "cpu";
        hot.trigger.value = "70";
        hot.trigger.log = true;
        _c->presetList = {{"<preset/>", hot}};
    }
    ~ConsolePages() override
    {
        _c.reset();
        _thread.reset();
        unsetenv("ZOR_ROOT");
    }
    /// The form's operation, with what it sent alone in _c->sent.
    FormOutcome act(std::map<std::string, std::string> fields)
    {
        _c->sent.clear();
        return entriesAction(*_c, _s, form(std::move(fields)));
    }

    zortest::TempRoot _root;
    std::unique_ptr<zormon::MonitorThread> _thread;
    std::unique_ptr<FakeContext> _c;
    WebSession _s;
};

} // namespace

TEST_F(ConsolePages, TriggerAndEntryFieldsReadBack)
{
    TriggerForm t = page::triggerFromForm(form({{"t_kind", "interval-value"}, {"t_low", "1"}, {"t_high", "9"},
                                                {"t_range", "sideways"}, {"t_maxfreq", "600s"},
                                                {"t_emails", " a@x.example ,, b@y.example\t,  "},
                                                {"t_log", "1"}, {"t_trap", "on"}, {"t_permanent", ""}}));
    // Any range but outside is inside.
    EXPECT_EQ(std::tie(t.kind, t.lowValue, t.highValue, t.range), std::make_tuple("interval-value", "1", "9", "inside"));
    EXPECT_EQ(t.maxFrequency, 600);
    EXPECT_EQ(t.emails, (std::vector<std::string>{"a@x.example", "b@y.example"}));
    EXPECT_EQ(std::tie(t.log, t.trap, t.permanent, t.udp), std::make_tuple(true, true, false, false));

    // The fields a form shows read back to the same trigger.
    t.range = "outside";
    std::string html = page::triggerFields(t);
    for (const char* field : {"name=\"t_low\" size=\"6\" value=\"1\"", "<option value=\"outside\" selected>",
                              "value=\"a@x.example, b@y.example\"", "name=\"t_trap\" value=\"1\" checked"}) {
        EXPECT_NE(html.find(field), std::string::npos) << field;
    }

    EntryForm e;
    e.triggers.push_back(t);
    page::entryFieldsFromForm(form({{"variable", "cpu"}, {"log", "1"}, {"schedule", "weekly"}, {"every", "2"},
                                    {"day_of_week", "fri"}, {"hour", "23"}, {"minute", "5"}}),
                              &e);
    EXPECT_EQ(std::tie(e.variable, e.log, e.schedule, e.dayOfWeek), std::make_tuple("cpu", true, "weekly", "fri"));
    // Seconds were not sent; the triggers are left alone.
    EXPECT_EQ(std::make_tuple(e.every, e.hour, e.minute, e.seconds, e.triggers.size()), std::make_tuple(2L, 23, 5, 0L, 1UL));
}

TEST_F(ConsolePages, FormsAreCheckedAtTheirFieldsBeforeAnythingIsSent)
{
    EntryForm cpu;
    cpu.variable = "cpu";
    cpu.triggers.resize(1);
    cpu.triggers[0].value = "90";
    _c->replies[kKeys + "config/monitor-entry/0/"] = entryXml(cpu);
    auto onlyRead = [this] {
        return std::all_of(_c->sent.begin(), _c->sent.end(), [](const Sent& s) { return s.op == "get"; });
    };

    // The administrators' trigger: both problems shown at their fields, the
    // values as typed, nothing added.
    FormOutcome o = act({{"do", "add-trigger"}, {"entry", "0"}, {"t_kind", "single-value"}, {"t_comparison", "greater-than"},
                         {"t_value", "five hundred MiB"}, {"t_emails", "not an address"}, {"t_maxfreq", "60"}});
    EXPECT_EQ(o.status, 422);
    EXPECT_TRUE(onlyRead());
    for (const char* at : {"name=\"t_value\" size=\"8\" value=\"five hundred MiB\" class=\"bad\"",
                           "<span class=\"problem warn\" data-field=\"t_value\">value=&quot;five hundred MiB&quot; is not a number",
                           "value=\"not an address\" class=\"bad\" aria-invalid=\"true\"> <span class=\"problem warn\" "
                           "data-field=\"t_emails\">e-mail address &quot;not an address&quot;"}) {
        EXPECT_NE(o.page.find(at), std::string::npos) << at;
    }
    // A number field that is no number, only of the schedule kind picked.
    o = act({{"do", "set-entry"}, {"entry", "0"}, {"variable", "cpu"}, {"schedule", "seconds"}, {"seconds", "soon"}});
    EXPECT_EQ(o.status, 422);
    EXPECT_TRUE(onlyRead());
    EXPECT_NE(o.page.find("data-field=\"seconds\">&quot;soon&quot; is not a whole number"), std::string::npos);
    o = act({{"do", "set-entry"}, {"entry", "0"}, {"variable", "cpu"}, {"schedule", "asynchronous"}, {"seconds", "soon"}});
    EXPECT_EQ(o.flash, "Entry 0 (cpu) saved.");
    // An entry needs a variable; a preset gives one.
    EXPECT_EQ(act({{"do", "add-entry"}, {"schedule", "seconds"}, {"seconds", "60"}}).status, 422);
    EXPECT_TRUE(_c->sent.empty());
    o = act({{"do", "add-entry"}, {"preset", "0"}, {"schedule", "seconds"}, {"seconds", "30"}});
    ASSERT_FALSE(_c->sent.empty()) << o.page;
    EntryForm added;
    ASSERT_TRUE(readEntry(_c->sent[0].value.value_or(""), &added));
    ASSERT_EQ(added.triggers.size(), 1u);
    EXPECT_EQ(std::tie(added.variable, added.seconds, added.triggers[0].value), std::make_tuple("cpu", 30L, "70"));

    // What passes is sent, and told in a sentence.
    o = act({{"do", "set-trigger"}, {"entry", "0"}, {"trigger", "0"}, {"t_value", "5"}, {"t_emails", "ops@example.com"}});
    ASSERT_EQ(_c->sent.size(), 2u);
    EXPECT_EQ(_c->sent[1].key, kKeys + "config/action-trigger/0/0/");
    EXPECT_EQ(_c->sent[1].value->substr(0, 4), "0/0/");
    EXPECT_EQ(o.flash, "Trigger 0 of entry 0 (cpu) saved.");
    EXPECT_EQ(o.location, "/entries/0");
    EXPECT_EQ(act({{"do", "add-trigger"}, {"entry", "0"}, {"preset", "0"}}).flash, "Trigger 1 added to entry 0 (cpu).");
    EXPECT_NE(_c->sent[1].value->find("value=\"70\""), std::string::npos);
}

TEST_F(ConsolePages, DeletesAskFirstAndCommitsOfProblemsAreRefused)
{
    EntryForm disk;
    disk.variable = "root-free-space";
    disk.triggers.resize(2);
    _c->replies[kKeys + "config/monitor-entry/3/"] = entryXml(disk);
    FormOutcome o = act({{"do", "del-entry"}, {"entry", "3"}});
    EXPECT_NE(o.page.find("Delete entry 3, root-free-space, and its 2 triggers?"), std::string::npos);
    EXPECT_NE(o.page.find("value=\"del-entry-confirmed\""), std::string::npos);
    ASSERT_EQ(_c->sent.size(), 1u);
    // Confirmed for another entry than the one now at that index: nothing goes.
    EXPECT_EQ(act({{"do", "del-entry-confirmed"}, {"entry", "3"}, {"variable", "cpu"}}).flash,
              "Entry 3 is no longer cpu; nothing was deleted.");
    EXPECT_EQ(_c->sent.size(), 1u);
    act({{"do", "del-entry-confirmed"}, {"entry", "3"}, {"variable", "root-free-space"}});
    ASSERT_EQ(_c->sent.size(), 2u);
    EXPECT_EQ(_c->sent[1].op + " " + _c->sent[1].key, "del " + kKeys + "config/monitor-entry/3/");
    EXPECT_NE(act({{"do", "del-trigger"}, {"entry", "3"}, {"trigger", "1"}}).page.find("Delete trigger 1 of entry 3"),
              std::string::npos);

    _c->problems = {"entry 0:1:60: bad", "entry 1:1:9: worse"};
    o = act({{"do", "commit"}});
    EXPECT_EQ(o.status, 422);
    EXPECT_NE(o.page.find("<li>entry 0:1:60: bad</li><li>entry 1:1:9: worse</li>"), std::string::npos);
    EXPECT_TRUE(_c->sent.empty());
    _c->problems.clear();
    EXPECT_EQ(act({{"do", "commit"}}).flash, "Committed: the configuration file now holds the entries shown.");
    EXPECT_EQ(_c->sent.size(), 1u);
    EXPECT_EQ(act({{"do", "drop-table"}}).flash, "Unknown operation.");
    // Discard asks, and says that every session's edits go.
    EXPECT_NE(act({{"do", "discard"}}).page.find("all uncommitted edits go, not only this login"), std::string::npos);
}

TEST_F(ConsolePages, PagesEscapeAndShowTheFlashOnce)
{
    _s.user = "<i>eve</i>";
    _s.flash = "result 0: <ok>";
    EntryForm e;
    e.variable = "x\"><script>";
    _c->entries = {entryXml(e)};
    std::string first = entriesPage(*_c, _s);
    EXPECT_EQ(first.find("<i>eve"), std::string::npos);
    EXPECT_NE(first.find("&lt;i&gt;eve&lt;/i&gt;"), std::string::npos);
    EXPECT_NE(first.find("<div class=\"flash\" id=\"flash\">result 0: &lt;ok&gt;</div>"), std::string::npos);
    EXPECT_EQ(first.find("<script>"), std::string::npos);
    // Every form of the page carries the login's token.
    size_t forms = 0, tokens = 0;
    for (size_t at = first.find("<form method=\"post\""); at != std::string::npos; at = first.find("<form method=\"post\"", at + 1)) {
        ++forms;
        size_t end = first.find("</form>", at);
        tokens += first.substr(at, end - at).find("name=\"csrf\" value=\"tok\"") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(forms, 3u);
    EXPECT_EQ(tokens, forms);
    EXPECT_EQ(entriesPage(*_c, _s).find("id=\"flash\""), std::string::npos);

    _c->tableError = "the module did not open a session";
    EXPECT_NE(entriesPage(*_c, _s).find("<p class=\"warn\">the module did not open a session</p>"), std::string::npos);
    EXPECT_NE(logsPage(*_c, _s, "<x>", "").find("No log named &lt;x&gt;."), std::string::npos);
}

TEST(ConsolePageKit, QueryValuesAndWeeks)
{
    EXPECT_EQ(page::q("a b&c=d/é~-._"), "a%20b%26c%3Dd%2F%C3%A9~-._");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(page::spanDays("d20240302", true),
              (std::vector<std::string>{"d20240225", "d20240226", "d20240227", "d20240228", "d20240229", "d20240301",
                                        "d20240302"}));
    EXPECT_EQ(page::spanDays("d20240302", false), std::vector<std::string>{"d20240302"});
    EXPECT_EQ(page::spanDays("../x", true), std::vector<std::string>{"../x"});
}
