// The configuration model: schedules, the repeat gate of actions, triggers
// and the value semantics and rules of monitor entries.
#include "configTestSupport.h"

#include <memory>
#include <type_traits>

using namespace configtest;

namespace {

// Vector growth moves entries and wrappers instead of deep-copying them.
static_assert(std::is_nothrow_move_constructible<MonitorEntry>::value, "");
static_assert(std::is_nothrow_move_constructible<MonitorEntry::ActionTriggerWrapper>::value, "");

TEST(FrequencyTest, RangeChecksDeepClonesAndDumps)
{
    TimeOfDay time;
    time.setHour(23);
    time.setMinutes(59);
    // A negative number arrives converted to a huge unsigned one.
    for (unsigned int hour : {24u, static_cast<unsigned int>(-1)}) {
        EXPECT_EQ("hour is greater than 23", messageOf([&] { time.setHour(hour); }));
    }
    EXPECT_EQ("minutes are greater than 59", messageOf([&] { time.setMinutes(60); }));

    auto source = std::make_unique<Weekly>();
    source->setTimeOfDay(time);
    source->setDayOfWeek(fri);
    source->setEvery(2);
    std::unique_ptr<Frequency> copy(source->clone(true));
    source.reset();
    TimeOfDay fiveAfterMidnight;
    fiveAfterMidnight.setMinutes(5);
    Seconds period;
    period.setSeconds(60);
    EXPECT_EQ("time of day: 23:59\nevery: 2\nday of week: 5\ntime of day: 0:05\n seconds: 60\n",
              dump([&] { copy->print(); fiveAfterMidnight.print(); period.print(); }));
}

// The repeat gate reads the clock through the test seam.
std::time_t gNow = 0;
std::time_t fakeClock() { return gNow; }

class ActionTest : public testing::Test {
protected:
    void SetUp() override { setActionClockForTest(&fakeClock); }
    void TearDown() override { setActionClockForTest(nullptr); }
    // Timelines count seconds from an arbitrary moment of real time, as a running appliance does.
    bool performAt(Action& action, std::time_t when, std::string variable, const std::string& message, bool isNumber)
    {
        gNow = 1700000000 + when;
        return action.shouldPerform(variable, message, isNumber);
    }
};

TEST_F(ActionTest, RepeatGateForNumbersAndUnlimitedActions)
{
    Action unlimited;
    Action shutdown;
    shutdown.setMaxFrequency(60);
    SetShutdown(true, shutdown);
    Action powerOff;
    powerOff.setMaxFrequency(60);
    powerOff.setPowerOffDrive(true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(performAt(unlimited, 100, "temp", "hot", false));
        EXPECT_TRUE(performAt(unlimited, 100, "temp", "42", true));
        EXPECT_TRUE(performAt(shutdown, 1000 + i, "temp", "hot", true));
        EXPECT_TRUE(performAt(powerOff, 1000 + i, "temp", "hot", false));
    }

    // The window in seconds, per variable, also once the clock has passed
    // 2^31 (on the appliance a long is 32 bits): across it, and in 2040.
    for (std::time_t start : {std::time_t(0), std::time_t(2147483647) - 1700000010, std::time_t(508988800)}) {
        SCOPED_TRACE(start);
        Action limited;
        limited.setMaxFrequency(60);
        EXPECT_TRUE(performAt(limited, start, "temp", "1", true));
        EXPECT_FALSE(performAt(limited, start + 30, "temp", "2", true));
        EXPECT_FALSE(performAt(limited, start + 59, "temp", "2", true));
        EXPECT_TRUE(performAt(limited, start + 60, "temp", "3", true));
        EXPECT_FALSE(performAt(limited, start + 61, "temp", "4", true));
        EXPECT_TRUE(performAt(limited, start + 61, "other", "4", true)) << "each variable has its own window";
    }
}

TEST_F(ActionTest, RepeatGateForTexts)
{
    Action action;
    action.setMaxFrequency(60);
    EXPECT_TRUE(performAt(action, 0, "state", "A", false)) << "new message, no time recorded";
    EXPECT_TRUE(performAt(action, 10, "state", "A", false)) << "first timed performance";
    EXPECT_FALSE(performAt(action, 20, "state", "A", false));
    EXPECT_TRUE(performAt(action, 25, "state", "B", false)) << "changed message, window stays at 10";
    EXPECT_FALSE(performAt(action, 30, "state", "B", false));
    EXPECT_TRUE(performAt(action, 70, "state", "B", false)) << "60 seconds after 10";
    EXPECT_TRUE(performAt(action, 71, "state", "b", false)) << "messages compare case-sensitively";
    // Copies carry the history: a cloned trigger keeps its repeat state.
    Action copy = action;
    EXPECT_FALSE(performAt(copy, 72, "state", "b", false));
}

TEST_F(ActionTest, HistoryIsEmptiedPastOneHundredVariables)
{
    Action action;
    action.setMaxFrequency(60);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(performAt(action, 1000, "v" + std::to_string(i), "1", true));
    }
    // Exactly 100 variables: a repeat performance keeps the history.
    EXPECT_TRUE(performAt(action, 1060, "v0", "1", true));
    EXPECT_FALSE(performAt(action, 1061, "v0", "1", true));
    // The 101st variable enters without emptying anything.
    EXPECT_TRUE(performAt(action, 1050, "v100", "1", true));
    EXPECT_FALSE(performAt(action, 1061, "v100", "1", true));
    EXPECT_FALSE(performAt(action, 1062, "v0", "1", true));
    // The next timed performance of a known variable passes and empties both histories.
    EXPECT_TRUE(performAt(action, 1110, "v100", "1", true));
    EXPECT_TRUE(performAt(action, 1111, "v100", "1", true)) << "its time was forgotten";
    EXPECT_TRUE(performAt(action, 1112, "v0", "1", true));
}

TEST(ActionListTest, EmailListAndDump)
{
    Action action;
    for (const char* address : {"a@x", "b@x", "a@x"}) {
        action.addEmail(address);
    }
    EXPECT_EQ("email index out of bounds", messageOf([&] { action.getEmail(3); }));
    EXPECT_EQ("email index out of bounds", messageOf([&] { action.modifyEmail(3, "c@x"); }));
    EXPECT_EQ("email address not found", messageOf([&] { action.delEmail("A@X"); }));
    action.delEmail("a@x"); // the first of two equal addresses
    action.modifyEmail(0, "c@x");
    action.setUdp(true);
    SetShutdown(true, action);
    EXPECT_EQ("  udp: 1\n  trap: 0\n  shutdown: 1\n  log: 0\n  power off drive: 0\n  email: \n    c@x    a@x\n",
              dump([&] { action.print(); }));
}

std::unique_ptr<ActionTrigger> triggerOf(TriggerValueType valueType, const std::string& value = "1")
{
    auto trigger = std::make_unique<SingleValueTrigger>();
    trigger->setValueType(valueType);
    trigger->setValue(value);
    return trigger;
}

TEST(TriggerTest, DescriptionsAndClonesWithTheirHistory)
{
    SingleValueTrigger below;
    below.setComparisonType(lessThan);
    below.setValue("5");
    IntervalValueTrigger outsideRange;
    outsideRange.setIntervalType(outside);
    outsideRange.setLowValue("1");
    outsideRange.setHighValue("2");
    EXPECT_EQ("is below 5|is outside interval (1, 2)|changed",
              below.toString() + "|" + outsideRange.toString() + "|" + ValueChangesTrigger().toString());

    below.setValueType(maximum);
    below.setPermanent(true);
    below.getActionReference().setMaxFrequency(3600);
    below.getActionReference().addEmail("a@x");
    std::string variable = "temp";
    ASSERT_TRUE(below.getActionReference().shouldPerform(variable, "1", true));
    std::unique_ptr<ActionTrigger> copy(below.clone(true));
    EXPECT_EQ(describe(&below), describe(copy.get()));
    EXPECT_FALSE(copy->getActionReference().shouldPerform(variable, "1", true)) << "history travels with the clone";

    // copy takes every base field, the type code included.
    ValueChangesTrigger changes;
    changes.copy(&below, true);
    EXPECT_EQ(singleValue, changes.isA());
    EXPECT_EQ(maximum, changes.getValueType());
    EXPECT_TRUE(changes.isPermanent());
}

TEST(MonitorEntryTest, LoggingRuleAndNullChecks)
{
    Seconds everyMinute;
    everyMinute.setSeconds(60);
    MonitorEntry notLogged(false, "temp", &everyMinute);
    const std::string rule = "A non instantaneous trigger cannot be added to an entry that's not logged";
    ValueChangesTrigger changesOnAverage;
    changesOnAverage.setValueType(average);
    for (TriggerValueType valueType : {average, minimum, maximum}) {
        EXPECT_EQ(rule, messageOf([&] { notLogged.addActionTrigger(triggerOf(valueType).get()); }));
    }
    EXPECT_EQ(rule, messageOf([&] { notLogged.addActionTrigger(&changesOnAverage); }));
    EXPECT_EQ("NULL Trigger specified", messageOf([&] { notLogged.addActionTrigger(nullptr); }));
    EXPECT_EQ(0, notLogged.getActionTriggerListLength());
    notLogged.addActionTrigger(triggerOf(instantaneous).get());
    notLogged.modifyActionTrigger(0, triggerOf(average).get()); // modify does not apply the rule
    EXPECT_EQ(average, notLogged.getActionTrigger(0)->getValueType());

    MonitorEntry logged(true, "temp", &everyMinute);
    for (TriggerValueType valueType : {average, instantaneous, minimum, maximum}) {
        logged.addActionTrigger(triggerOf(valueType).get());
    }
    logged.setLog(false);
    EXPECT_EQ(4, logged.getActionTriggerListLength()) << "turning logging off keeps the triggers";
    EXPECT_EQ("NULL Frequency specified", messageOf([&] { logged.setFrequency(nullptr); }));
    EXPECT_EQ(seconds, logged.getFrequency()->isA());
    EXPECT_EQ("NULL Frequency specified", messageOf([] { MonitorEntry(true, "x", nullptr); }));
}

TEST(MonitorEntryTest, TriggerListEditing)
{
    MonitorEntry entry;
    entry.setLog(true);
    for (const char* value : {"first", "second", "third"}) {
        entry.addActionTrigger(triggerOf(average, value).get());
    }
    entry.modifyActionTrigger(2, triggerOf(average, "THIRD").get());
    EXPECT_EQ("Trigger not found with the specified index",
              messageOf([&] { entry.modifyActionTrigger(3, triggerOf(average).get()); }));
    EXPECT_EQ("NULL Trigger specified", messageOf([&] { entry.modifyActionTrigger(9, nullptr); }));
    EXPECT_EQ("Trigger not found with the specified index", messageOf([&] { entry.delActionTrigger(3); }));
    entry.delActionTrigger(0);
    ASSERT_EQ(2, entry.getActionTriggerListLength());
    EXPECT_EQ("exceeds second|exceeds THIRD", entry.getActionTrigger(0)->toString() + "|" + entry.getActionTrigger(1)->toString());
    EXPECT_EQ(nullptr, entry.getActionTrigger(2));
    EXPECT_EQ(nullptr, entry.getActionTrigger(static_cast<unsigned int>(-1)));
}

TEST(MonitorEntryTest, CopiesShareNothingAndSelfAssignmentIsSafe)
{
    Daily atSix;
    MonitorEntry original(true, "temp", &atSix);
    auto trigger = triggerOf(average, "50");
    original.addActionTrigger(trigger.get());
    trigger.reset();
    const std::string before = describe(original); // the entry holds its own copy of the trigger

    MonitorEntry copy(original);
    static_cast<SingleValueTrigger*>(copy.getActionTrigger(0))->setValue("99");
    static_cast<Daily*>(copy.getFrequency())->setEvery(7);
    EXPECT_EQ(before, describe(original));

    MonitorEntry assigned;
    assigned = original;
    MonitorEntry& alias = assigned;
    assigned = alias;
    assigned = std::move(alias);
    EXPECT_EQ(before, describe(assigned));
    MonitorEntry moved(std::move(copy));
    EXPECT_EQ("exceeds 99", moved.getActionTrigger(0)->toString());

    // An entry without a schedule copies and assigns as one without a schedule.
    MonitorEntry bare;
    MonitorEntry bareCopy(bare);
    assigned = bare;
    EXPECT_TRUE(bareCopy.getFrequency() == nullptr && assigned.getFrequency() == nullptr);
    EXPECT_EQ(0, assigned.getActionTriggerListLength());

    MonitorEntry::ActionTriggerWrapper wrapper(original.getActionTrigger(0));
    MonitorEntry::ActionTriggerWrapper& wrapperAlias = wrapper;
    wrapper = wrapperAlias;
    wrapper = std::move(wrapperAlias);
    EXPECT_EQ(describe(original.getActionTrigger(0)), describe(wrapper()));
    MonitorEntry::ActionTriggerWrapper empty;
    MonitorEntry::ActionTriggerWrapper emptyCopy(empty);
    wrapper = empty;
    EXPECT_TRUE(emptyCopy() == nullptr && wrapper() == nullptr);
}

} // namespace
