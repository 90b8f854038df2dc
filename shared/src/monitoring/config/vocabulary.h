// The words of the configuration vocabulary that stand for model values, in
// the order of the model's enumerations: the reader looks values up here and
// both writers print them from here.
#pragma once

#include "actiontrigger.h"
#include "frequency.h"

#include <cstddef>
#include <string>

namespace vocabulary {

inline constexpr const char16_t* kDays[] = {u"sun", u"mon", u"tue", u"wed", u"thu", u"fri", u"sat"};
inline constexpr const char16_t* kValueTypes[] = {u"average", u"instantaneous", u"minimum", u"maximum"};
inline constexpr const char16_t* kComparisons[] = {u"greater-than", u"less-than", u"equals", u"not-equals"};
inline constexpr const char16_t* kIntervals[] = {u"inside", u"outside"};

/// The word of index in table, or "" when index is outside it (a model
/// value that no word stands for prints as an empty attribute).
template <std::size_t N>
const char16_t* word(const char16_t* const (&table)[N], int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < N ? table[index] : u"";
}

/// The same word as the bytes it is written as (every word is ASCII).
template <std::size_t N>
void appendWord(std::string& out, const char16_t* const (&table)[N], int index)
{
    for (const char16_t* c = word(table, index); *c != 0; ++c) {
        out.push_back(static_cast<char>(*c));
    }
}

} // namespace vocabulary
