#include "actiontrigger.h"

#include <iostream>

namespace {

// Word tables indexed by the enumerations; an out-of-range value (only
// possible through a cast) yields an empty word instead of a wild read.
template <std::size_t N>
const char* wordFor(const char* const (&table)[N], int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < N ? table[index] : "";
}

const char* const kValueTypeWords[] = {"average", "absolute", "minimum", "maximum"};
const char* const kComparisonPhrases[] = {"exceeds ", "is below ", "equals ", "does not equal "};
const char* const kIntervalPhrases[] = {"is inside interval ", "is outside interval "};

} // namespace

void ActionTrigger::copy(const ActionTrigger* source, bool /*deep*/)
{
    if (source == nullptr || source == this) {
        return;
    }
    _type = source->_type;
    _valueType = source->_valueType;
    _action = source->_action;
    _permanent = source->_permanent;
}

ActionTrigger* ActionTrigger::clone(bool /*deep*/) const
{
    std::cout << "Called ActionTrigger clone" << std::endl;
    return nullptr;
}

void ActionTrigger::print() const
{
    std::cout << "*" << wordFor(kValueTypeWords, _valueType) << "*" << std::endl;
    std::cout << "permanent: " << _permanent << std::endl;
    _action.print();
}

ActionTrigger* SingleValueTrigger::clone(bool /*deep*/) const { return new SingleValueTrigger(*this); }

std::string SingleValueTrigger::toString() const
{
    return std::string(wordFor(kComparisonPhrases, _comparisonType)) + _value;
}

void SingleValueTrigger::print() const
{
    ActionTrigger::print();
    std::cout << toString() << std::endl;
}

ActionTrigger* IntervalValueTrigger::clone(bool /*deep*/) const { return new IntervalValueTrigger(*this); }

std::string IntervalValueTrigger::toString() const
{
    return std::string(wordFor(kIntervalPhrases, _intervalType)) + "(" + _lowValue + ", " + _highValue + ")";
}

void IntervalValueTrigger::print() const
{
    ActionTrigger::print();
    std::cout << toString() << std::endl;
}

ActionTrigger* ValueChangesTrigger::clone(bool /*deep*/) const { return new ValueChangesTrigger(*this); }

std::string ValueChangesTrigger::toString() const { return "changed"; }

void ValueChangesTrigger::print() const { std::cout << toString() << std::endl; }
