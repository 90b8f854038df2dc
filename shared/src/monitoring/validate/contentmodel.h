// An element's content model, read from its schema type: in words for the
// user, and which child is the first that does not fit it.
#pragma once

#include "elements.h"

#include <cstddef>
#include <string>
#include <vector>

namespace monvalidate {

/// "one of <a>, <b>, then optionally <c>" for a sequence of a choice of a
/// or b and an optional c.
std::string contentModelWords(const ContentParticle& model);

/// A child as the content model sees it: its name, and whether it is in no
/// namespace (the schemas declare no namespace).
struct ChildName {
    const std::string* name;
    bool inNoNamespace;
};

/// Index of the first child the model cannot take at its place; the number
/// of children when all fit (the content may still be incomplete).
std::size_t firstMisfit(const ContentParticle& model, const std::vector<ChildName>& children);

} // namespace monvalidate
