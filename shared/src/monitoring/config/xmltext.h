// Text conversions between the model's narrow (UTF-8) strings and the
// parser library's wide ones. The UTF-8 transcoder they share is made once
// with the XML platform (see xmlenvironment.h) instead of once per request.
#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <string>

/// Holds the parser's wide copy of a narrow (UTF-8) text for as long as a DOM
/// call needs it. Bytes that are not UTF-8 are read as Latin-1, so that any
/// name the model holds can still be written.
class XMLText {
public:
    explicit XMLText(const std::string& text);
    explicit XMLText(const char* text);
    const XMLCh* get() const { return _text.c_str(); }
    operator const XMLCh*() const { return _text.c_str(); }

private:
    std::u16string _text;
};

/// The narrow (UTF-8) form of a parser string; empty for null.
std::string toNarrow(const XMLCh* text);

/// ASCII kept and everything else shown as '?': for messages of the parser
/// library when no transcoder can be trusted (before the platform is up).
std::string asciiOrMarked(const XMLCh* text);

/// Makes the shared transcoder now (the platform must be up); the
/// conversions otherwise make it on first use.
void PrepareTranscoder();
/// Lets the shared transcoder go; only while the platform is still up.
void ReleaseTranscoder();
