// Places in a document's text. The parser reports where a start tag ends, in
// characters of the decoded text; the problems are placed where the tag or
// the attribute begins, which only the bytes of the text show.
#pragma once

#include "elements.h"

#include <cstddef>
#include <string>
#include <vector>

namespace monvalidate {

class TextPlaces {
public:
    explicit TextPlaces(const std::string& text) : _text(text) {}

    /// Where the start tag that ends at tagEnd begins; tagEnd when unknown.
    Place startTagPlace(Place tagEnd);
    /// Where the named attribute of that start tag begins; the tag's place
    /// when the tag has no such attribute.
    Place attributePlace(Place tagEnd, const std::string& attributeName);
    /// The text holds nothing but blanks.
    bool blank() const;

private:
    bool textIsByteCompatible() const;
    void indexLines();
    std::size_t offsetOf(Place place);
    Place placeOf(std::size_t offset);
    std::size_t startTagOffset(Place tagEnd);

    const std::string& _text;
    std::vector<std::size_t> _lineStarts;
    bool _indexed = false;
};

} // namespace monvalidate
