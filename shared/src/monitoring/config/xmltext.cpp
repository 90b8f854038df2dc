#include "xmltext.h"

#include <xercesc/framework/XMLRecognizer.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>

using namespace xercesc;

namespace {

// A plain pointer on purpose: it is released by ReleaseTranscoder while the
// platform is still up, never by static destruction after it may have stopped.
XMLTranscoder* gUtf8Transcoder = nullptr;

XMLTranscoder* utf8Transcoder()
{
    if (gUtf8Transcoder == nullptr && XMLPlatformUtils::fgTransService != nullptr) {
        XMLTransService::Codes result = XMLTransService::Ok;
        gUtf8Transcoder =
            XMLPlatformUtils::fgTransService->makeNewTranscoderFor(XMLRecognizer::UTF_8, result, 16 * 1024);
    }
    return gUtf8Transcoder;
}

} // namespace

void PrepareTranscoder() { utf8Transcoder(); }

void ReleaseTranscoder()
{
    delete gUtf8Transcoder;
    gUtf8Transcoder = nullptr;
}

XMLText::XMLText(const std::string& text)
{
    // ASCII, by far the most common text, is the same in both forms.
    bool ascii = true;
    for (unsigned char c : text) {
        ascii = ascii && c < 0x80;
    }
    if (ascii) {
        _text.assign(text.begin(), text.end());
        return;
    }
    XMLTranscoder* transcoder = utf8Transcoder();
    if (transcoder != nullptr) {
        try {
            TranscodeFromStr wide(reinterpret_cast<const XMLByte*>(text.data()), text.size(), transcoder);
            _text.assign(wide.str(), wide.length());
            return;
        } catch (const XMLException&) {
            // Not UTF-8: fall through and read the bytes as Latin-1.
        }
    }
    _text.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        _text[i] = static_cast<unsigned char>(text[i]);
    }
}

XMLText::XMLText(const char* text) : XMLText(std::string(text != nullptr ? text : "")) {}

std::string asciiOrMarked(const XMLCh* text)
{
    std::string narrow;
    for (const XMLCh* p = text; p != nullptr && *p != 0; ++p) {
        narrow.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    return narrow;
}

std::string toNarrow(const XMLCh* text)
{
    if (text == nullptr || *text == 0) {
        return std::string();
    }
    std::string narrow;
    for (const XMLCh* c = text; *c != 0; ++c) {
        if (*c >= 0x80) {
            narrow.clear();
            break;
        }
        narrow.push_back(static_cast<char>(*c));
    }
    if (!narrow.empty()) {
        return narrow;
    }
    XMLTranscoder* transcoder = utf8Transcoder();
    if (transcoder != nullptr) {
        try {
            TranscodeToStr wide(text, transcoder);
            return std::string(reinterpret_cast<const char*>(wide.str()), wide.length());
        } catch (const XMLException&) {
        }
    }
    // Last resort when no transcoder is available or the text cannot be
    // transcoded: keep ASCII, mark the rest.
    return asciiOrMarked(text);
}
