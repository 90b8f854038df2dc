// The SAX2 reader: Monitor.cfg and request texts read without a document
// tree. While the scanner runs, the elements of one monitor-entry (of a load)
// or of the whole request text are kept in a compact element list, the entry
// rules of entryrules.h are run over it, and it is emptied for the next
// entry. A load so holds the table plus one entry, whatever the file's size,
// and no step of it recurses over the nesting of the document: a file nested
// a hundred thousand levels deep reads as any other.
#include "configfiles.h"
#include "configreader.h"
#include "entryrules.h"
#include "monitoring.h"
#include "xmlenvironment.h"
#include "xmlhardening.h"
#include "xmlprinter.h"
#include "xmltext.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/parsers/SAX2XMLReaderImpl.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <unistd.h>
#include <vector>

using namespace xercesc;

namespace {

/// What the reader kept for request texts may allocate inside the parser
/// library by default. Requests are a few kilobytes, values of ten megabytes
/// are still answered; the bound turns a hostile request into an
/// out-of-memory failure of that request alone, after which the reader is
/// made anew.
std::size_t gRequestParserMemory = 256 * 1024 * 1024;

// The names the entry rules look up. Each kept element knows which of them
// it bears, and the list keeps the positions of each, so that finding the
// first element of a name below another, or all of them, costs a binary
// search and the matches rather than a walk of the whole subtree: nested
// triggers or entries then do not make a read quadratic.
constexpr const char16_t* kLookedUp[] = {u"monitor-entry", u"frequency", u"time-of-day", u"action-trigger",
                                         u"single-value", u"interval-value", u"value-changes", u"action",
                                         u"email", u"shutdown", u"trap", u"udp", u"log", u"power-off-drive"};
constexpr int kLookedUpCount = sizeof kLookedUp / sizeof kLookedUp[0];

int lookedUpIndex(const XMLCh* name)
{
    for (int i = 0; i < kLookedUpCount; ++i) {
        if (XMLString::equals(name, kLookedUp[i])) {
            return i;
        }
    }
    return -1;
}

// One element of the compact list: elements are kept in document order, and
// each knows where its subtree ends, so "below" is a range of the list and
// the first element child is the next element when it is inside that range.
struct Element {
    std::u16string name;
    std::vector<std::pair<std::u16string, std::u16string>> attributes;
    std::u16string text; // its text and CDATA children, joined
    bool hasText = false;
    std::size_t end = 0; // one past the last element of its subtree
};

using Positions = std::vector<std::size_t>[kLookedUpCount];

struct ListView {
    using Node = std::size_t;
    const std::vector<Element>& elements;
    const Positions& positions;

    static Node none() { return SIZE_MAX; }
    static bool valid(Node node) { return node != SIZE_MAX; }
    Node firstElementChild(Node node) const
    {
        return valid(node) && node + 1 < elements[node].end ? node + 1 : none();
    }
    const XMLCh* name(Node node) const { return elements[node].name.c_str(); }
    const XMLCh* attribute(Node node, const XMLCh* name) const
    {
        for (const auto& [attributeName, value] : elements[node].attributes) {
            if (attributeName == name) {
                return value.c_str();
            }
        }
        return u"";
    }
    template <typename Visit>
    void forEachBelow(Node node, const XMLCh* name, Visit visit) const
    {
        const int index = lookedUpIndex(name);
        if (index < 0) {
            for (Node below = node + 1; below < elements[node].end; ++below) {
                if (elements[below].name == name && !visit(below)) {
                    return;
                }
            }
            return;
        }
        const std::vector<std::size_t>& at = positions[index];
        for (auto it = std::upper_bound(at.begin(), at.end(), node); it != at.end() && *it < elements[node].end;
             ++it) {
            if (!visit(*it)) {
                return;
            }
        }
    }
    bool valueText(Node node, std::string& value) const
    {
        value = toNarrow(elements[node].text.c_str());
        return elements[node].hasText;
    }
};

// Thrown by a refusal of the reader's own once the reporter has it; ends the
// scan, which then counts as failed.
struct Refusal {};

// Builds the element list from the scanner's events and applies the refusals
// that keep whatever is read writable and bounded:
// - an attribute value holding a character XML 1.0 forbids (the scanner lets
//   character references to them pass in attribute values, and an XML 1.0
//   file holding them never parses again);
// - an internal entity value longer than 1024 characters (with the count
//   limit of 1000 expansions, a document's expanded text stays below about
//   1 MiB).
class ListBuilder : public DefaultHandler {
public:
    /// Which elements are kept: every one of the document (a request text),
    /// or those of each monitor-entry below the root element (a load), each
    /// entry's list handed to complete() and emptied when the entry ends.
    enum class Scope { document, entriesBelowRoot };

    ListBuilder(Scope scope, DOMTreeErrorReporter& reporter) : _scope(scope), _reporter(reporter) {}

    std::function<void()> complete;
    /// Cleared to stop keeping elements (the rest of the scan only checks).
    bool keeping = true;

    const std::vector<Element>& elements() const { return _elements; }
    const Positions& positions() const { return _positions; }
    std::size_t size() const { return _used; }

    void reset()
    {
        // A large request's list is let go rather than kept for the next.
        if (_textKept > 64 * 1024 || _elements.size() > 1024) {
            std::vector<Element>().swap(_elements);
        }
        clearList();
        _textKept = 0;
        _open.clear();
        _depth = 0;
        keeping = true;
    }

    /// Reports why the document is refused, as the scanner reports its own
    /// errors, and ends the scan.
    [[noreturn]] void refuse(const std::string& why)
    {
        XMLText message(why);
        if (_locator != nullptr) {
            _reporter.fatalError(SAXParseException(message.get(), *_locator));
        } else {
            _reporter.fatalError(SAXParseException(message.get(), u"", u"", 0, 0));
        }
        throw Refusal();
    }

    void setDocumentLocator(const Locator* const locator) override { _locator = locator; }

    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname,
                      const Attributes& attributes) override
    {
        const XMLSize_t count = attributes.getLength();
        for (XMLSize_t i = 0; i < count; ++i) {
            for (const XMLCh* c = attributes.getValue(i); c != nullptr && *c != 0; ++c) {
                if (!isXml10Char(*c)) {
                    char code[8];
                    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(*c));
                    refuse("attribute '" + toNarrow(attributes.getQName(i)) + "' holds the character 0x" + code +
                           ", which XML 1.0 does not allow");
                }
            }
        }
        ++_depth;
        if (_open.empty() &&
            !(keeping && (_scope == Scope::document ||
                          (_depth >= 2 && XMLString::equals(qname, u"monitor-entry"))))) {
            return;
        }
        if (_used == _elements.size()) {
            _elements.emplace_back();
        }
        Element& element = _elements[_used];
        element.name.assign(qname);
        element.attributes.resize(count);
        for (XMLSize_t i = 0; i < count; ++i) {
            element.attributes[i].first.assign(attributes.getQName(i));
            element.attributes[i].second.assign(attributes.getValue(i));
        }
        element.text.clear();
        element.hasText = false;
        element.end = 0;
        const int index = lookedUpIndex(qname);
        if (index >= 0) {
            _positions[index].push_back(_used);
        }
        _open.push_back(_used++);
    }

    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override
    {
        --_depth;
        if (_open.empty()) {
            return;
        }
        _elements[_open.back()].end = _used;
        _open.pop_back();
        if (_open.empty() && _scope == Scope::entriesBelowRoot) {
            if (keeping && complete) {
                complete();
            }
            clearList();
        }
    }

    void characters(const XMLCh* const chars, const XMLSize_t length) override
    {
        if (!_open.empty()) {
            Element& element = _elements[_open.back()];
            element.text.append(chars, length);
            element.hasText = true;
            _textKept += length;
        }
    }

    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) override { characters(chars, length); }

    // An empty CDATA section is still text: the value is empty, not absent.
    void startCDATA() override
    {
        if (!_open.empty()) {
            _elements[_open.back()].hasText = true;
        }
    }

    void internalEntityDecl(const XMLCh* const, const XMLCh* const value) override
    {
        if (value != nullptr && XMLString::stringLen(value) > ConfigurationParser::kMaxEntityValue) {
            refuse("the value of an entity holds more than 1024 characters");
        }
    }

private:
    void clearList()
    {
        _used = 0;
        for (std::vector<std::size_t>& at : _positions) {
            at.clear();
        }
    }

    Scope _scope;
    DOMTreeErrorReporter& _reporter;
    std::vector<Element> _elements;
    Positions _positions;
    std::size_t _used = 0;
    std::size_t _textKept = 0;
    std::vector<std::size_t> _open;
    std::size_t _depth = 0;
    const Locator* _locator = nullptr;
};

// The parser library's SAX2 reader, refusing a declaration of any XML
// version but 1.0: an XML 1.1 document would let control characters
// (written as character references) into names and addresses, and the
// writer prints them as they are.
class ConfigurationReader : public SAX2XMLReaderImpl {
public:
    ConfigurationReader(ListBuilder& builder, DOMTreeErrorReporter& reporter, MemoryManager* memory)
        : SAX2XMLReaderImpl(memory), _builder(builder)
    {
        ConfigureConfigurationReader(*this, reporter);
        setContentHandler(&builder);
        setLexicalHandler(&builder);
        setDeclarationHandler(&builder);
    }

    void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                 const XMLCh* const actualEncStr) override
    {
        if (versionStr != nullptr && *versionStr != 0 && !XMLString::equals(versionStr, u"1.0")) {
            _builder.refuse("XML version " + toNarrow(versionStr) + " is not supported, only 1.0");
        }
        SAX2XMLReaderImpl::XMLDecl(versionStr, encodingStr, standaloneStr, actualEncStr);
    }

private:
    ListBuilder& _builder;
};

// Parses source with reader; true when the scan failed or counted errors.
bool scan(ConfigurationReader& reader, const InputSource& source)
{
    try {
        reader.parse(source);
    } catch (const Refusal&) {
        return true;
    }
    return reader.getErrorCount() > 0;
}

// The bytes of an open file, read as the scanner asks for them: the file is
// never held whole. A read error ends the input early, and the document then
// fails to parse.
class DescriptorStream : public BinInputStream {
public:
    explicit DescriptorStream(int fd) : _fd(fd) {}
    XMLFilePos curPos() const override { return _position; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override
    {
        for (;;) {
            ssize_t got = ::read(_fd, toFill, maxToRead);
            if (got >= 0) {
                _position += static_cast<XMLFilePos>(got);
                return static_cast<XMLSize_t>(got);
            }
            if (errno != EINTR) {
                return 0;
            }
        }
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    int _fd;
    XMLFilePos _position = 0;
};

class DescriptorSource : public InputSource {
public:
    DescriptorSource(int fd, const XMLCh* systemId) : InputSource(systemId), _fd(fd) {}
    BinInputStream* makeStream() const override { return new DescriptorStream(_fd); }

private:
    int _fd;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : _fd(fd) {}
    ~Descriptor() { ::close(_fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return _fd; }

private:
    int _fd;
};

// The entries of a whole configuration document: every monitor-entry below
// the root element (not the root itself), in document order, each read from
// its own subtree. A model failure names the entry and is reported after the
// scan, so that a document that also fails to parse reports the parse
// failure.
std::vector<MonitorEntry> readEntries(const InputSource& source)
{
    XmlEnvironment& environment = XmlEnvironment::process();
    ListBuilder builder(ListBuilder::Scope::entriesBelowRoot, environment.reporter());
    std::vector<MonitorEntry> entries;
    std::exception_ptr failure;
    builder.complete = [&] {
        ListView view{builder.elements(), builder.positions()};
        entryrules::Rules<ListView> rules(view);
        // The entry and the entries nested in it, in document order.
        for (std::size_t i = 0; i < builder.size(); ++i) {
            if (builder.elements()[i].name != u"monitor-entry") {
                continue;
            }
            try {
                entries.push_back(rules.entry(i));
            } catch (const MonitoringException& refused) {
                environment.loadFailure() = "monitor-entry " + std::to_string(entries.size() + 1) + " (variable \"" +
                                    toNarrow(view.attribute(i, u"variable")) + "\"): " + refused.getMessage();
                failure = std::current_exception();
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                builder.keeping = false;
                return;
            }
        }
    };
    const bool sawErrorsBefore = environment.reporter().getSawErrors();
    const std::string diagnosticBefore = environment.reporter().lastDiagnostic();
    std::unique_ptr<ConfigurationReader> reader;
    try {
        environment.guard(
            [&] {
                reader = std::make_unique<ConfigurationReader>(builder, environment.reporter(),
                                                               XMLPlatformUtils::fgMemoryManager);
                return scan(*reader, source);
            },
            [&] { reader.reset(); });
    } catch (const MonitoringException& parseFailure) {
        environment.loadFailure() =
            environment.failureReason(diagnosticBefore, sawErrorsBefore, parseFailure.getMessage());
        throw;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return entries;
}

// Counts what the parser library allocates for the request reader and
// refuses past gRequestParserMemory.
class BoundedMemory : public MemoryManager {
public:
    MemoryManager* getExceptionMemoryManager() override { return XMLPlatformUtils::fgMemoryManager; }
    void* allocate(XMLSize_t size) override
    {
        if (size > gRequestParserMemory - _used) {
            throw OutOfMemoryException();
        }
        void* block = ::operator new(size + kHeader, std::nothrow);
        if (block == nullptr) {
            throw OutOfMemoryException();
        }
        *static_cast<std::size_t*>(block) = size;
        _used += size;
        return static_cast<char*>(block) + kHeader;
    }
    void deallocate(void* p) override
    {
        if (p != nullptr) {
            char* block = static_cast<char*>(p) - kHeader;
            _used -= *reinterpret_cast<std::size_t*>(block);
            ::operator delete(block);
        }
    }

private:
    static constexpr std::size_t kHeader = alignof(std::max_align_t);
    std::size_t _used = 0;
};

// Request texts are small and come one at a time, so a new reader for each
// (scanner, reader buffers, grammar set-up) would cost more than the parse
// itself. One reader is kept for them instead. After any failed parse it is
// let go and made anew for the next request: a scan that ran out of memory
// leaves the library's reader unusable.
struct RequestReader {
    BoundedMemory memory;
    ListBuilder builder{ListBuilder::Scope::document, XmlEnvironment::process().reporter()};
    ConfigurationReader reader{builder, XmlEnvironment::process().reporter(), &memory};
};

// A plain pointer like the printer state, and for the same reason: it is
// released by MonitoringConfiguration::terminate while the platform is still up.
RequestReader* gRequestReader = nullptr;

template <typename Read>
auto readRequest(const std::string& input, const XMLCh* systemId, Read read)
{
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(input.data()), input.size(), systemId, false);
    source.setCopyBufToStream(false); // the text outlives the parse: no copy of it
    XmlEnvironment::process().guard(
        [&] {
            if (gRequestReader == nullptr) {
                gRequestReader = new RequestReader();
            }
            gRequestReader->builder.reset();
            return scan(gRequestReader->reader, source);
        },
        [] { ReleaseRequestReader(); });
    ListView view{gRequestReader->builder.elements(), gRequestReader->builder.positions()};
    // The first element of the list is the document's root element.
    return read(entryrules::Rules<ListView>(view), gRequestReader->builder.size() > 0 ? 0 : ListView::none());
}

} // namespace

void SetRequestReaderMemoryForTest(std::size_t bytes)
{
    ReleaseRequestReader();
    gRequestParserMemory = bytes;
}

void ReleaseRequestReader()
{
    delete gRequestReader;
    gRequestReader = nullptr;
}

std::vector<MonitorEntry> MonitoringConfiguration::load(const std::string& filename)
{
    // A missing file is an ordinary condition at start-up (the next session
    // open tries again) and must not reach the parser's reporter, whose
    // error flag never clears.
    const int fd = openRegularFile(filename, XmlEnvironment::process().loadFailure());
    if (fd < 0) {
        throw MonitoringException(std::string("file to read not found"));
    }
    Descriptor file(fd);
    XMLText systemId(filename);
    return readEntries(DescriptorSource(file.get(), systemId.get()));
}

std::vector<MonitorEntry> MonitoringConfiguration::loadText(const std::string& document)
{
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(document.data()), document.size(), u"Monitor.cfg",
                             false);
    source.setCopyBufToStream(false);
    return readEntries(source);
}

std::string MonitoringConfiguration::lastLoadFailure() { return XmlEnvironment::process().loadFailure(); }

void MonitoringConfiguration::initialize() { StartXMLPlatform(); }

void MonitoringConfiguration::terminate()
{
    StopXMLPlatform([] {
        ReleaseRequestReader();
        ReleasePrinter();
    });
}

MonitorEntry MonitoringConfiguration::parseMonitorEntry(const std::string& input)
{
    return readRequest(input, u"MonEntryParse",
                       [](const entryrules::Rules<ListView>& rules, std::size_t root) { return rules.entry(root); });
}

ActionTrigger* MonitoringConfiguration::parseActionTrigger(const std::string& input)
{
    return readRequest(input, u"ActionTriggerParse", [](const entryrules::Rules<ListView>& rules, std::size_t root) {
        return rules.trigger(root).release();
    });
}
