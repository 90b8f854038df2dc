// Action triggers: a condition on a monitored variable's value and the Action
// to take when it holds. Thresholds and bounds are kept as text; evaluating
// them is the business of the outside component that runs the triggers.
#pragma once

#include "action.h"

#include <string>

enum TriggerType { singleValue = 0, intervalValue = 1, valueChanges = 2 };
/// Which value of the variable the trigger looks at.
enum TriggerValueType { average = 0, instantaneous = 1, minimum = 2, maximum = 3 };
enum TriggerComparisonType { greaterThan = 0, lessThan = 1, equals = 2, notEquals = 3 };
enum IntervalType { inside = 0, outside = 1 };

/// Abstract base of the three trigger kinds; the type code (isA) names the
/// concrete class and is fixed by its constructor.
class ActionTrigger {
public:
    virtual ~ActionTrigger() = default;
    /// A new trigger of the same class with every field, the action's repeat
    /// history included; owned by the caller. Deep and shallow copies are alike.
    virtual ActionTrigger* clone(bool deep) const;
    /// Short English description of the condition ("exceeds 90").
    virtual std::string toString() const = 0;
    /// Diagnostic dump to standard output.
    virtual void print() const;

    TriggerType isA() const { return _type; }
    TriggerValueType getValueType() const { return _valueType; }
    void setValueType(TriggerValueType type) { _valueType = type; }
    /// A full copy of the action, histories included.
    Action getAction() const { return _action; }
    /// The trigger's own action, so that its repeat history lives in the trigger.
    Action& getActionReference() { return _action; }
    const Action& getActionReference() const { return _action; }
    void setAction(const Action& action) { _action = action; }
    bool isPermanent() const { return _permanent; }
    void setPermanent(bool permanent) { _permanent = permanent; }
    /// Copies every base field of source: the type code, the value type, the
    /// whole action and the permanent flag. The clones copy from an object of
    /// their own class, so the type code they copy is their own.
    void copy(const ActionTrigger* source, bool deep);

protected:
    explicit ActionTrigger(TriggerType type) : _type(type) {}
    ActionTrigger(const ActionTrigger&) = default;
    ActionTrigger& operator=(const ActionTrigger&) = default;

    // Every creator sets the value type; instantaneous is the reader's
    // default too and the only one allowed on an entry that is not logged.
    TriggerValueType _valueType = instantaneous;
    Action _action;
    TriggerType _type;
    bool _permanent = false;
};

/// Compares the value with one threshold.
class SingleValueTrigger : public ActionTrigger {
public:
    SingleValueTrigger() : ActionTrigger(singleValue) {}
    ActionTrigger* clone(bool deep) const override;
    std::string toString() const override;
    void print() const override;

    TriggerComparisonType getComparisonType() const { return _comparisonType; }
    void setComparisonType(TriggerComparisonType type) { _comparisonType = type; }
    std::string getValue() const { return _value; }
    void setValue(std::string value) { _value = std::move(value); }

private:
    TriggerComparisonType _comparisonType = greaterThan;
    std::string _value;
};

/// Tests whether the value lies inside or outside [low, high].
class IntervalValueTrigger : public ActionTrigger {
public:
    IntervalValueTrigger() : ActionTrigger(intervalValue) {}
    ActionTrigger* clone(bool deep) const override;
    std::string toString() const override;
    void print() const override;

    std::string getHighValue() const { return _highValue; }
    void setHighValue(std::string value) { _highValue = std::move(value); }
    std::string getLowValue() const { return _lowValue; }
    void setLowValue(std::string value) { _lowValue = std::move(value); }
    IntervalType getIntervalType() const { return _intervalType; }
    void setIntervalType(IntervalType type) { _intervalType = type; }

private:
    std::string _highValue;
    std::string _lowValue;
    IntervalType _intervalType = inside;
};

/// Fires whenever the value changes.
class ValueChangesTrigger : public ActionTrigger {
public:
    ValueChangesTrigger() : ActionTrigger(valueChanges) {}
    ActionTrigger* clone(bool deep) const override;
    std::string toString() const override;
    /// Only the description: the one-line dump that diagnosis relies on.
    void print() const override;
};
