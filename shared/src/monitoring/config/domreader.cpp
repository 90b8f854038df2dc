// The DOM reader: the entry rules run over a whole document tree. The module
// reads with the SAX2 reader (reader.cpp); this is what it is checked against.
#include "configoracle.h"
#include "entryrules.h"
#include "xmlutils.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

using namespace xercesc;

namespace configoracle {
namespace {

const DOMElement* firstElementChild(const DOMNode* node)
{
    for (const DOMNode* child = node != nullptr ? node->getFirstChild() : nullptr; child != nullptr;
         child = child->getNextSibling()) {
        if (child->getNodeType() == DOMNode::ELEMENT_NODE) {
            return static_cast<const DOMElement*>(child);
        }
    }
    return nullptr;
}

// The node after node in document order, staying inside the subtree of top.
const DOMNode* nextBelow(const DOMNode* node, const DOMNode* top)
{
    if (const DOMNode* child = node->getFirstChild()) {
        return child;
    }
    for (; node != top; node = node->getParentNode()) {
        if (const DOMNode* next = node->getNextSibling()) {
            return next;
        }
    }
    return nullptr;
}

struct DomView {
    using Node = const DOMElement*;
    static Node none() { return nullptr; }
    static bool valid(Node node) { return node != nullptr; }
    static Node firstElementChild(Node node) { return configoracle::firstElementChild(node); }
    static const XMLCh* name(Node node) { return node->getTagName(); }
    static const XMLCh* attribute(Node node, const XMLCh* name) { return node->getAttribute(name); }

    template <typename Visit>
    static void forEachBelow(Node element, const XMLCh* name, Visit visit)
    {
        for (const DOMNode* node = element->getFirstChild(); node != nullptr; node = nextBelow(node, element)) {
            if (node->getNodeType() == DOMNode::ELEMENT_NODE && XMLString::equals(node->getNodeName(), name) &&
                !visit(static_cast<Node>(node))) {
                return;
            }
        }
    }

    static bool valueText(Node element, std::string& value)
    {
        std::u16string text;
        bool any = false;
        for (const DOMNode* child = element->getFirstChild(); child != nullptr; child = child->getNextSibling()) {
            const DOMNode::NodeType type = child->getNodeType();
            if ((type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE) &&
                child->getNodeValue() != nullptr) {
                text += child->getNodeValue();
                any = true;
            }
        }
        value = toNarrow(text.c_str());
        return any;
    }
};

std::unique_ptr<XercesDOMParser> parse(const std::string& input, const XMLCh* systemId)
{
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(input.data()), input.size(), systemId, false);
    source.setCopyBufToStream(false); // the text outlives the parse: no copy of it
    return ParseConfigurationDocument(source, false);
}

} // namespace

std::vector<MonitorEntry> load(const std::string& document)
{
    std::unique_ptr<XercesDOMParser> parser = parse(document, u"Monitor.cfg");
    DomView view;
    entryrules::Rules<DomView> rules(view);
    std::vector<MonitorEntry> entries;
    if (const DOMElement* root = firstElementChild(parser->getDocument())) {
        DomView::forEachBelow(root, u"monitor-entry", [&](const DOMElement* entry) {
            entries.push_back(rules.entry(entry));
            return true;
        });
    }
    return entries;
}

MonitorEntry parseMonitorEntry(const std::string& input)
{
    std::unique_ptr<XercesDOMParser> parser = parse(input, u"MonEntryParse");
    DomView view;
    return entryrules::Rules<DomView>(view).entry(firstElementChild(parser->getDocument()));
}

std::unique_ptr<ActionTrigger> parseActionTrigger(const std::string& input)
{
    std::unique_ptr<XercesDOMParser> parser = parse(input, u"ActionTriggerParse");
    DomView view;
    return entryrules::Rules<DomView>(view).trigger(firstElementChild(parser->getDocument()));
}

} // namespace configoracle
