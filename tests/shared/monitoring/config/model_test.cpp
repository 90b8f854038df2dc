// The configuration model: schedules, the repeat gate of actions, triggers
// and the value semantics and rules of monitor entries.
#include "monitoring.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace {

std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const MonitoringException& failure) {
        return failure.getMessage();
    }
    return "<no exception>";
}

// Vector growth and erase move entries and wrappers instead of deep-copying them.
static_assert(std::is_nothrow_move_constructible<MonitorEntry>::value, "");
static_assert(std::is_nothrow_move_assignable<MonitorEntry>::value, "");
static_assert(std::is_nothrow_move_constructible<MonitorEntry::ActionTriggerWrapper>::value, "");
static_assert(std::is_nothrow_move_assignable<MonitorEntry::ActionTriggerWrapper>::value, "");

TEST(FrequencyTest, RangeChecksDefaultsAndClones)
{
    TimeOfDay time;
    time.setHour(23);
    time.setMinutes(59);
    EXPECT_EQ("hour is greater than 23", messageOf([&] { time.setHour(24); }));
    EXPECT_EQ("minutes are greater than 59", messageOf([&] { time.setMinutes(60); }));
    EXPECT_EQ(23u, time.getHour());
    EXPECT_EQ(59u, time.getMinutes());
    // A negative number arrives converted to a huge unsigned one.
    EXPECT_EQ("hour is greater than 23", messageOf([&] { time.setHour(static_cast<unsigned int>(-1)); }));

    EXPECT_EQ(1, Daily().getEvery());
    EXPECT_EQ(1, Weekly().getEvery());
    EXPECT_EQ(daily, Daily().isA());
    EXPECT_EQ(weekly, Weekly().isA());
    EXPECT_EQ(asynchronous, Asynchronous().isA());
    EXPECT_EQ(seconds, Seconds().isA());
    EXPECT_EQ(noFreq, Frequency().isA());

    auto source = std::make_unique<Weekly>();
    TimeOfDay sixThirty;
    sixThirty.setHour(6);
    sixThirty.setMinutes(30);
    source->setTimeOfDay(sixThirty);
    source->setDayOfWeek(fri);
    source->setEvery(2);
    std::unique_ptr<Frequency> shallow(source->clone(false));
    ASSERT_EQ(weekly, shallow->isA());
    EXPECT_EQ(fri, static_cast<Weekly*>(shallow.get())->getDayOfWeek());
    EXPECT_EQ(30u, static_cast<Weekly*>(shallow.get())->getTimeOfDay().getMinutes());
    std::unique_ptr<Frequency> survivor(source->clone(true));
    source.reset();
    EXPECT_EQ(2, static_cast<Weekly*>(survivor.get())->getEvery());
    EXPECT_EQ(6u, static_cast<Weekly*>(survivor.get())->getTimeOfDay().getHour());
}

TEST(FrequencyTest, Dumps)
{
    Weekly weeklySchedule;
    TimeOfDay fiveAfterMidnight;
    fiveAfterMidnight.setMinutes(5);
    weeklySchedule.setTimeOfDay(fiveAfterMidnight);
    weeklySchedule.setDayOfWeek(tue);
    testing::internal::CaptureStdout();
    weeklySchedule.print();
    Seconds period;
    period.setSeconds(60);
    period.print();
    EXPECT_EQ("time of day: 0:05\nevery: 1\nday of week: 2\n seconds: 60\n", testing::internal::GetCapturedStdout());
}

// The repeat gate reads the clock through the test seam. Timelines count
// seconds from an arbitrary moment of real time, as a running appliance does.
constexpr std::time_t kTimelineStart = 1700000000;
std::time_t gNow = 0;
std::time_t fakeClock() { return gNow; }

class ActionTest : public testing::Test {
protected:
    void SetUp() override { setActionClockForTest(&fakeClock); }
    void TearDown() override { setActionClockForTest(nullptr); }
    bool performAt(Action& action, std::time_t when, std::string variable, const std::string& message, bool isNumber)
    {
        gNow = kTimelineStart + when;
        return action.shouldPerform(variable, message, isNumber);
    }
};

TEST_F(ActionTest, RepeatGateForNumbersAndUnlimitedActions)
{
    Action unlimited;
    EXPECT_FALSE(unlimited.isUdp() || unlimited.isTrap() || unlimited.isShutdown() || unlimited.isLog() ||
                 unlimited.isPowerOffDrive());
    EXPECT_EQ(0u, unlimited.getMaxFrequency());
    EXPECT_EQ(0, unlimited.getEmailListSize());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(performAt(unlimited, 100, "temp", "hot", false));
        EXPECT_TRUE(performAt(unlimited, 100, "temp", "42", true));
    }

    Action limited;
    limited.setMaxFrequency(60);
    EXPECT_TRUE(performAt(limited, 0, "temp", "1", true));
    EXPECT_FALSE(performAt(limited, 30, "temp", "2", true));
    EXPECT_TRUE(performAt(limited, 60, "temp", "3", true));
    EXPECT_FALSE(performAt(limited, 61, "temp", "4", true));
    EXPECT_TRUE(performAt(limited, 61, "other", "4", true)) << "each variable has its own window";

    Action shutdown;
    shutdown.setMaxFrequency(60);
    SetShutdown(true, shutdown);
    Action powerOff;
    powerOff.setMaxFrequency(60);
    powerOff.setPowerOffDrive(true);
    for (std::time_t when : {1000, 1001, 1002}) {
        EXPECT_TRUE(performAt(shutdown, when, "temp", "hot", true));
        EXPECT_TRUE(performAt(powerOff, when, "temp", "hot", false));
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
    EXPECT_FALSE(performAt(action, 1061, "v100", "1", true)) << "v100 is still timed";
    EXPECT_FALSE(performAt(action, 1062, "v0", "1", true)) << "v0 is still timed";

    // The next timed performance of a known variable passes and empties both histories.
    EXPECT_TRUE(performAt(action, 1110, "v100", "1", true));
    EXPECT_TRUE(performAt(action, 1111, "v100", "1", true)) << "its time was forgotten";
    EXPECT_TRUE(performAt(action, 1112, "v0", "1", true));
}

TEST_F(ActionTest, EmailListAndDump)
{
    Action action;
    action.addEmail("a@x");
    action.addEmail("b@x");
    action.addEmail("a@x");
    EXPECT_EQ(3, action.getEmailListSize());
    EXPECT_EQ("a@x", action.getEmail(2));
    EXPECT_EQ("email index out of bounds", messageOf([&] { action.getEmail(3); }));
    EXPECT_EQ("email index out of bounds", messageOf([&] { action.modifyEmail(3, "c@x"); }));
    EXPECT_EQ("email address not found", messageOf([&] { action.delEmail("A@X"); }));
    action.delEmail("a@x");
    ASSERT_EQ(2, action.getEmailListSize());
    EXPECT_EQ("b@x", action.getEmail(0));
    EXPECT_EQ("a@x", action.getEmail(1));
    action.modifyEmail(0, "c@x");

    action.setUdp(true);
    SetShutdown(true, action);
    testing::internal::CaptureStdout();
    action.print();
    EXPECT_EQ("  udp: 1\n  trap: 0\n  shutdown: 1\n  log: 0\n  power off drive: 0\n  email: \n    c@x    a@x\n",
              testing::internal::GetCapturedStdout());
}

TEST(TriggerTest, DescriptionsClonesAndDumps)
{
    SingleValueTrigger below;
    below.setComparisonType(lessThan);
    EXPECT_EQ("is below ", below.toString());
    below.setValue("5");
    EXPECT_EQ("is below 5", below.toString());
    IntervalValueTrigger outsideRange;
    outsideRange.setIntervalType(outside);
    EXPECT_EQ("is outside interval (, )", outsideRange.toString());
    outsideRange.setLowValue("1");
    outsideRange.setHighValue("2");
    EXPECT_EQ("is outside interval (1, 2)", outsideRange.toString());
    EXPECT_EQ("changed", ValueChangesTrigger().toString());

    // A clone carries the action with its addresses and its repeat history.
    below.setValueType(maximum);
    below.setPermanent(true);
    below.getActionReference().setMaxFrequency(3600);
    below.getActionReference().addEmail("a@x");
    below.getActionReference().addEmail("b@x");
    std::string variable = "temp";
    ASSERT_TRUE(below.getActionReference().shouldPerform(variable, "1", true));
    std::unique_ptr<ActionTrigger> copy(below.clone(true));
    ASSERT_EQ(singleValue, copy->isA());
    EXPECT_EQ("is below 5", copy->toString());
    EXPECT_EQ(maximum, copy->getValueType());
    EXPECT_TRUE(copy->isPermanent());
    EXPECT_EQ(2, copy->getAction().getEmailListSize());
    EXPECT_FALSE(copy->getActionReference().shouldPerform(variable, "1", true)) << "history travels with the clone";

    testing::internal::CaptureStdout();
    ValueChangesTrigger().print();
    EXPECT_EQ("changed\n", testing::internal::GetCapturedStdout());
    SingleValueTrigger absolute;
    absolute.setValue("7");
    testing::internal::CaptureStdout();
    absolute.print();
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, dump.find("*absolute*\npermanent: 0\n  udp: 0\n")) << dump;
    EXPECT_NE(std::string::npos, dump.find("\nexceeds 7\n")) << dump;
}

std::unique_ptr<ActionTrigger> triggerOf(TriggerValueType valueType, const std::string& value = "1")
{
    auto trigger = std::make_unique<SingleValueTrigger>();
    trigger->setValueType(valueType);
    trigger->setValue(value);
    return trigger;
}

TEST(MonitorEntryTest, LoggingRuleAndNullChecks)
{
    Seconds everyMinute;
    everyMinute.setSeconds(60);
    MonitorEntry notLogged(false, "temp", &everyMinute);
    EXPECT_EQ("NULL Trigger specified", messageOf([&] { notLogged.addActionTrigger(nullptr); }));
    for (TriggerValueType valueType : {average, minimum, maximum}) {
        EXPECT_EQ("A non instantaneous trigger cannot be added to an entry that's not logged",
                  messageOf([&] { notLogged.addActionTrigger(triggerOf(valueType).get()); }));
    }
    ValueChangesTrigger changesOnAverage;
    changesOnAverage.setValueType(average);
    EXPECT_EQ("A non instantaneous trigger cannot be added to an entry that's not logged",
              messageOf([&] { notLogged.addActionTrigger(&changesOnAverage); }));
    EXPECT_EQ(0, notLogged.getActionTriggerListLength());
    notLogged.addActionTrigger(triggerOf(instantaneous).get());
    EXPECT_EQ(1, notLogged.getActionTriggerListLength());
    // modify does not apply the rule
    notLogged.modifyActionTrigger(0, triggerOf(average).get());
    EXPECT_EQ(average, notLogged.getActionTrigger(0)->getValueType());

    MonitorEntry logged(true, "temp", &everyMinute);
    for (TriggerValueType valueType : {average, instantaneous, minimum, maximum}) {
        logged.addActionTrigger(triggerOf(valueType).get());
    }
    EXPECT_EQ(4, logged.getActionTriggerListLength());
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
    entry.modifyActionTrigger(0, triggerOf(average, "FIRST").get());
    entry.modifyActionTrigger(2, triggerOf(average, "THIRD").get());
    EXPECT_EQ("Trigger not found with the specified index",
              messageOf([&] { entry.modifyActionTrigger(3, triggerOf(average).get()); }));
    EXPECT_EQ("NULL Trigger specified", messageOf([&] { entry.modifyActionTrigger(9, nullptr); }));
    EXPECT_EQ("Trigger not found with the specified index", messageOf([&] { entry.delActionTrigger(3); }));
    entry.delActionTrigger(0);
    ASSERT_EQ(2, entry.getActionTriggerListLength());
    EXPECT_EQ("exceeds second", entry.getActionTrigger(0)->toString());
    EXPECT_EQ("exceeds THIRD", entry.getActionTrigger(1)->toString());
    EXPECT_EQ(nullptr, entry.getActionTrigger(2));
    EXPECT_EQ(nullptr, entry.getActionTrigger(static_cast<unsigned int>(-1)));
}

TEST(MonitorEntryTest, CopiesShareNothing)
{
    Daily atSix;
    MonitorEntry original(true, "temp", &atSix);
    auto trigger = triggerOf(average, "50");
    original.addActionTrigger(trigger.get());
    EXPECT_NE(trigger.get(), original.getActionTrigger(0));
    trigger.reset();
    EXPECT_EQ("exceeds 50", original.getActionTrigger(0)->toString()) << "the entry holds its own copy";

    MonitorEntry copy(original);
    static_cast<SingleValueTrigger*>(copy.getActionTrigger(0))->setValue("99");
    static_cast<Daily*>(copy.getFrequency())->setEvery(7);
    copy.setVariableName("other");
    EXPECT_EQ("exceeds 50", original.getActionTrigger(0)->toString());
    EXPECT_EQ(1, static_cast<Daily*>(original.getFrequency())->getEvery());
    EXPECT_NE(original.getFrequency(), copy.getFrequency());

    MonitorEntry assigned;
    assigned = original;
    MonitorEntry& alias = assigned;
    assigned = alias;
    assigned = std::move(alias);
    EXPECT_EQ("temp", assigned.getVariableName());
    ASSERT_EQ(1, assigned.getActionTriggerListLength());
    EXPECT_EQ("exceeds 50", assigned.getActionTrigger(0)->toString());
    ASSERT_NE(nullptr, assigned.getFrequency());

    // An entry without a schedule copies and assigns as one without a schedule.
    MonitorEntry bare;
    MonitorEntry bareCopy(bare);
    EXPECT_EQ(nullptr, bareCopy.getFrequency());
    assigned = bare;
    EXPECT_EQ(nullptr, assigned.getFrequency());
    EXPECT_EQ(0, assigned.getActionTriggerListLength());

    MonitorEntry moved(std::move(copy));
    EXPECT_EQ("exceeds 99", moved.getActionTrigger(0)->toString());

    MonitorEntry::ActionTriggerWrapper wrapper(original.getActionTrigger(0));
    MonitorEntry::ActionTriggerWrapper& wrapperAlias = wrapper;
    wrapper = wrapperAlias;
    wrapper = std::move(wrapperAlias);
    ASSERT_NE(nullptr, wrapper());
    EXPECT_EQ("exceeds 50", wrapper()->toString());
    MonitorEntry::ActionTriggerWrapper empty;
    MonitorEntry::ActionTriggerWrapper emptyCopy(empty);
    EXPECT_EQ(nullptr, emptyCopy());
    wrapper = empty;
    EXPECT_EQ(nullptr, wrapper());
}

} // namespace
