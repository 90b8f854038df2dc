// Places in a document's text: from the parser's line and column to the
// bytes and back, where a start tag and its attributes begin. See textplaces.h.
#include "textplaces.h"

#include <algorithm>

namespace monvalidate {

// The parser reports places in characters of the decoded text. Only when
// the bytes are ASCII-compatible (UTF-8, its ASCII subset) can they be
// mapped back onto the text to find where a tag starts; otherwise the
// parser's own places are kept.
bool TextPlaces::textIsByteCompatible() const
{
    if (_text.size() >= 2) {
        const unsigned char first = static_cast<unsigned char>(_text[0]);
        const unsigned char second = static_cast<unsigned char>(_text[1]);
        if (first == 0 || second == 0 || first == 0xFE || first == 0xFF || first == 0x4C) {
            return false;
        }
    }
    return true;
}

// Line ends as XML counts them: LF, CR LF and a lone CR each end a line.
void TextPlaces::indexLines()
{
    if (_indexed) {
        return;
    }
    _indexed = true;
    _lineStarts.push_back(0);
    for (std::size_t i = 0; i < _text.size(); ++i) {
        if (_text[i] == '\n') {
            _lineStarts.push_back(i + 1);
        } else if (_text[i] == '\r') {
            if (i + 1 < _text.size() && _text[i + 1] == '\n') {
                ++i;
            }
            _lineStarts.push_back(i + 1);
        }
    }
}

namespace {

// Bytes of the UTF-8 sequence that starts with this byte, and how many
// UTF-16 units (the parser's characters) it stands for.
std::size_t sequenceLength(unsigned char lead, unsigned long& units)
{
    units = 1;
    if (lead < 0xC0) {
        return 1;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        return 3;
    }
    units = 2;
    return 4;
}

} // namespace

std::size_t TextPlaces::offsetOf(Place place)
{
    indexLines();
    if (place.line == 0 || place.line > _lineStarts.size()) {
        return std::string::npos;
    }
    std::size_t offset = _lineStarts[place.line - 1];
    unsigned long counted = 1;
    while (counted < place.column && offset < _text.size()) {
        unsigned long units = 1;
        offset += sequenceLength(static_cast<unsigned char>(_text[offset]), units);
        counted += units;
    }
    return std::min(offset, _text.size());
}

Place TextPlaces::placeOf(std::size_t offset)
{
    indexLines();
    auto next = std::upper_bound(_lineStarts.begin(), _lineStarts.end(), offset);
    Place place;
    place.line = static_cast<unsigned long>(next - _lineStarts.begin());
    std::size_t position = _lineStarts[place.line - 1];
    place.column = 1;
    while (position < offset && position < _text.size()) {
        unsigned long units = 1;
        position += sequenceLength(static_cast<unsigned char>(_text[position]), units);
        place.column += units;
    }
    return place;
}

// No '<' can stand inside a start tag (attribute values may not hold one),
// so the last '<' before the place where the tag ends is where it begins.
std::size_t TextPlaces::startTagOffset(Place tagEnd)
{
    if (!textIsByteCompatible()) {
        return std::string::npos;
    }
    std::size_t end = offsetOf(tagEnd);
    if (end == std::string::npos || end == 0) {
        return std::string::npos;
    }
    return _text.rfind('<', end - 1);
}

Place TextPlaces::startTagPlace(Place tagEnd)
{
    std::size_t start = startTagOffset(tagEnd);
    return start == std::string::npos ? tagEnd : placeOf(start);
}

// Walks the start tag attribute by attribute (names, '=', quoted values) to
// the named one.
Place TextPlaces::attributePlace(Place tagEnd, const std::string& attributeName)
{
    std::size_t start = startTagOffset(tagEnd);
    if (start == std::string::npos) {
        return tagEnd;
    }
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t i = start + 1;
    while (i < _text.size() && !isBlank(_text[i]) && _text[i] != '>' && _text[i] != '/') {
        ++i;
    }
    while (i < _text.size()) {
        while (i < _text.size() && isBlank(_text[i])) {
            ++i;
        }
        if (i >= _text.size() || _text[i] == '>' || _text[i] == '/') {
            break;
        }
        std::size_t nameStart = i;
        while (i < _text.size() && !isBlank(_text[i]) && _text[i] != '=' && _text[i] != '>') {
            ++i;
        }
        std::string name = _text.substr(nameStart, i - nameStart);
        std::size_t colon = name.find(':');
        if (name == attributeName || (colon != std::string::npos && name.substr(colon + 1) == attributeName)) {
            return placeOf(nameStart);
        }
        while (i < _text.size() && _text[i] != '"' && _text[i] != '\'' && _text[i] != '>') {
            ++i;
        }
        if (i >= _text.size() || _text[i] == '>') {
            break;
        }
        std::size_t close = _text.find(_text[i], i + 1);
        if (close == std::string::npos) {
            break;
        }
        i = close + 1;
    }
    return startTagPlace(tagEnd);
}

bool TextPlaces::blank() const
{
    return _text.find_first_not_of(" \t\r\n") == std::string::npos;
}

} // namespace monvalidate
