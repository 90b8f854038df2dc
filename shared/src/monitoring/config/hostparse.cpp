#include "hostparse.h"

#include "domview.h"
#include "entryrules.h"
#include "xmlenvironment.h"
#include "xmltext.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include <mutex>

using namespace xercesc;

namespace hostparse {
namespace {

// Holds the lock and the platform for one host-side operation. The platform
// counts its users, so a monitor thread holding it is not disturbed.
class Session {
public:
    Session() : _lock(hostParseMutex())
    {
        try {
            StartXMLPlatform();
            _started = true;
        } catch (const MonitoringException& failure) {
            _failure = failure.getMessage();
        }
    }
    ~Session()
    {
        if (_started) {
            // Nothing is kept between host-side operations.
            StopXMLPlatform([] {});
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool started() const { return _started; }
    const std::string& failure() const { return _failure; }

private:
    std::lock_guard<std::mutex> _lock;
    bool _started = false;
    std::string _failure;
};

// Parses text into a DOM in an environment of its own and hands its root
// element to read; every failure becomes the result's error.
template <typename T, typename Read>
zor::Expected<T> parseAlone(const std::string& text, const XMLCh* systemId, Echo echo, Read read)
{
    Session session;
    if (!session.started()) {
        return zor::Error{session.failure()};
    }
    XmlEnvironment environment(echo == Echo::standardError);
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), systemId, false);
    source.setCopyBufToStream(false); // the text outlives the parse: no copy of it
    try {
        // Declared after the session: the document goes before the platform.
        std::unique_ptr<XercesDOMParser> parser = environment.parseDocument(source, false);
        return read(DomView::firstElementChild(parser->getDocument()));
    } catch (const MonitoringException& failure) {
        const std::string& diagnostic = environment.reporter().lastDiagnostic();
        return zor::Error{diagnostic.empty() ? failure.getMessage() : diagnostic};
    } catch (const std::exception& failure) {
        return zor::Error{failure.what()};
    }
}

bool named(DomView::Node element, const XMLCh* name)
{
    return element != nullptr && XMLString::equals(element->getTagName(), name);
}

// The element a trigger is read from: the root when it is an action-trigger,
// else the first action-trigger below it, else the root as the module's
// reader takes it.
DomView::Node triggerElement(DomView::Node root)
{
    if (root == nullptr || named(root, u"action-trigger")) {
        return root;
    }
    DomView::Node found = nullptr;
    DomView::forEachBelow(root, u"action-trigger", [&found](DomView::Node element) {
        found = element;
        return false;
    });
    return found != nullptr ? found : root;
}

std::unique_ptr<ActionTrigger> readTrigger(DomView::Node element)
{
    DomView view;
    return entryrules::Rules<DomView>(view).trigger(element);
}

const char* const kNoKind = "the text holds no action-trigger with a trigger kind";

} // namespace

zor::Expected<std::unique_ptr<ActionTrigger>> trigger(const std::string& text, Echo echo)
{
    return parseAlone<std::unique_ptr<ActionTrigger>>(
        text, u"ActionTriggerParse", echo,
        [](DomView::Node root) -> zor::Expected<std::unique_ptr<ActionTrigger>> {
            std::unique_ptr<ActionTrigger> parsed = readTrigger(triggerElement(root));
            if (!parsed) {
                return zor::Error{kNoKind};
            }
            return parsed;
        });
}

zor::Expected<MonitorEntry> entry(const std::string& text, Echo echo)
{
    return parseAlone<MonitorEntry>(text, u"MonEntryParse", echo, [](DomView::Node root) -> zor::Expected<MonitorEntry> {
        if (!named(root, u"monitor-entry")) {
            return zor::Error{"the text is no monitor-entry"};
        }
        DomView view;
        return entryrules::Rules<DomView>(view).entry(root);
    });
}

zor::Expected<Preset> preset(const std::string& text, Echo echo)
{
    return parseAlone<Preset>(text, u"PresetParse", echo, [](DomView::Node root) -> zor::Expected<Preset> {
        if (!named(root, u"preset-variable")) {
            return zor::Error{"the text is no preset-variable"};
        }
        Preset preset;
        preset.name = toNarrow(root->getAttribute(u"name"));
        preset.variable = toNarrow(root->getAttribute(u"variable"));
        preset.unit = toNarrow(root->getAttribute(u"unit"));
        preset.description = toNarrow(root->getAttribute(u"description"));
        preset.trigger = readTrigger(triggerElement(root));
        if (!preset.trigger) {
            return zor::Error{kNoKind};
        }
        return preset;
    });
}

namespace {

template <typename Model>
zor::Expected<std::string> render(const Model& model)
{
    Session session;
    if (!session.started()) {
        return zor::Error{session.failure()};
    }
    try {
        return MonitoringConfiguration::generate(model);
    } catch (const MonitoringException& failure) {
        return zor::Error{failure.getMessage()};
    }
}

} // namespace

zor::Expected<std::string> text(const MonitorEntry& entry) { return render(entry); }

zor::Expected<std::string> text(const ActionTrigger& trigger) { return render(&trigger); }

} // namespace hostparse
