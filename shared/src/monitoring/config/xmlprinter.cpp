// The printer: one DOM node and its subtree as bytes, in the layout and with
// the escapes that saved files and replies have always had. Its output state
// (formatter, target, encoding) is kept from one print to the next.
#include "xmlprinter.h"

#include "xmltext.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

using namespace xercesc;

namespace {

// Plain pointers on purpose: they are released by ReleasePrinter while the
// platform is still up, never by static destruction after it may have stopped.
std::u16string* gEncodingName = nullptr;
const XMLFormatter::UnRepFlags gUnRepFlags = XMLFormatter::UnRep_CharRef;
XMLFormatter* gFormatter = nullptr;
bool gSeparateLines = true;
DOMPrintFormatTarget* gFormatTarget = nullptr;

// Appends the formatter's bytes to a string (AppendPrinterEscaped).
class StringFormatTarget : public XMLFormatTarget {
public:
    void writeChars(const XMLByte* const toWrite, const XMLSize_t count, XMLFormatter* const) override
    {
        out->append(reinterpret_cast<const char*>(toWrite), count);
    }
    std::string* out = nullptr;
};

StringFormatTarget* gEscapeTarget = nullptr;
XMLFormatter* gEscapeFormatter = nullptr;

} // namespace

void ReleasePrinter()
{
    delete gEscapeFormatter;
    gEscapeFormatter = nullptr;
    delete gEscapeTarget;
    gEscapeTarget = nullptr;
    delete gFormatter;
    gFormatter = nullptr;
    delete gFormatTarget;
    gFormatTarget = nullptr;
    delete gEncodingName;
    gEncodingName = nullptr;
}

void DOMPrintFormatTarget::writeChars(const XMLByte* const toWrite, const XMLSize_t count, XMLFormatter* const)
{
    if (ostrm != nullptr) {
        ostrm->write(reinterpret_cast<const char*>(toWrite), static_cast<std::streamsize>(count));
    }
}

void DOMPrintFormatTarget::flush()
{
    if (ostrm != nullptr) {
        ostrm->flush();
    }
}

void SetXMLParameters(const DOMDocument* doc, std::ostream& os, bool separateLines)
{
    const XMLCh* encoding = u"UTF-8";
    if (doc != nullptr && doc->getXmlEncoding() != nullptr && *doc->getXmlEncoding() != 0) {
        encoding = doc->getXmlEncoding();
    }
    // The target and the formatter are kept from one print to the next and
    // only retargeted: building a formatter sets up a transcoder, which is
    // not worth doing for every reply. A new formatter is made only when the
    // encoding changes.
    if (gFormatTarget == nullptr) {
        gFormatTarget = new DOMPrintFormatTarget(&os);
    }
    gFormatTarget->ostrm = &os;
    gSeparateLines = separateLines;
    if (gFormatter == nullptr || gEncodingName == nullptr || *gEncodingName != encoding) {
        XMLFormatter* formatter = new XMLFormatter(encoding, gFormatTarget, XMLFormatter::NoEscapes, gUnRepFlags);
        delete gFormatter;
        gFormatter = formatter;
        if (gEncodingName == nullptr) {
            gEncodingName = new std::u16string(encoding);
        } else {
            *gEncodingName = encoding;
        }
    }
}

void SetXMLParameters(std::ostream& os) { SetXMLParameters(nullptr, os, false); }

void DetachXMLOutput()
{
    if (gFormatTarget != nullptr) {
        gFormatTarget->ostrm = nullptr;
    }
}

namespace {

void lineFeed()
{
    if (gSeparateLines) {
        *gFormatter << XMLFormatter::NoEscapes << u'\n';
    }
}

void writeMarkup(const XMLCh* text)
{
    if (text != nullptr) {
        *gFormatter << XMLFormatter::NoEscapes << text;
    }
}

void writeEscaped(const XMLCh* text, XMLFormatter::EscapeFlags escapes)
{
    if (text != nullptr && *text != 0) {
        gFormatter->formatBuf(text, XMLString::stringLen(text), escapes, gUnRepFlags);
    }
}

// Attribute values with the formatter's attribute escapes. Tabs and line
// breaks are written as character references besides: a reader normalises
// literal ones to blanks, and a value must read back exactly as written.
void writeAttributeValue(XMLFormatter& formatter, const XMLCh* value)
{
    if (value == nullptr) {
        return;
    }
    const XMLCh* segment = value;
    for (const XMLCh* p = value;; ++p) {
        if (*p == 0 || *p == u'\t' || *p == u'\n' || *p == u'\r') {
            if (p > segment) {
                formatter.formatBuf(segment, static_cast<XMLSize_t>(p - segment), XMLFormatter::AttrEscapes,
                                    gUnRepFlags);
            }
            if (*p == 0) {
                return;
            }
            formatter << XMLFormatter::NoEscapes << (*p == u'\t' ? u"&#9;" : (*p == u'\n' ? u"&#10;" : u"&#13;"));
            segment = p + 1;
        }
    }
}

void writeAttributeValue(const XMLCh* value) { writeAttributeValue(*gFormatter, value); }

void writeQuoted(const XMLCh* text)
{
    writeMarkup(u"\"");
    writeMarkup(text);
    writeMarkup(u"\"");
}

// The parser library keeps an element's attributes sorted by name. Saved
// files show the configuration vocabulary's attributes in the order the writer
// sets them (variable before log, value-type before permanent, ...), so that
// order is restored from this table; other attributes follow in map order.
const XMLCh* const kAttributeOrder[] = {
    u"variable",   u"log",       u"every",      u"day-of-week", u"hour",       u"min",
    u"value-type", u"permanent", u"comparison", u"value",       u"low-value",  u"high-value",
    u"inside-outside-range",     u"max-frequency",
};

std::size_t attributeRank(const XMLCh* name)
{
    const std::size_t known = sizeof kAttributeOrder / sizeof kAttributeOrder[0];
    for (std::size_t rank = 0; rank < known; ++rank) {
        if (XMLString::equals(name, kAttributeOrder[rank])) {
            return rank;
        }
    }
    return known;
}

std::vector<const DOMNode*> attributesInPrintOrder(const DOMNode* element)
{
    std::vector<const DOMNode*> ordered;
    const DOMNamedNodeMap* attributes = element->getAttributes();
    XMLSize_t count = attributes != nullptr ? attributes->getLength() : 0;
    ordered.reserve(count);
    for (XMLSize_t i = 0; i < count; ++i) {
        ordered.push_back(attributes->item(i));
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const DOMNode* left, const DOMNode* right) {
        return attributeRank(left->getNodeName()) < attributeRank(right->getNodeName());
    });
    return ordered;
}

// Prints what comes before a node's children; true when its children are to
// be printed next (and printClosing after them).
bool printOpening(const DOMNode* node)
{
    switch (node->getNodeType()) {
    case DOMNode::DOCUMENT_NODE:
        return node->hasChildNodes();
    case DOMNode::ELEMENT_NODE: {
        writeMarkup(u"<");
        writeMarkup(node->getNodeName());
        for (const DOMNode* attribute : attributesInPrintOrder(node)) {
            writeMarkup(u" ");
            writeMarkup(attribute->getNodeName());
            writeMarkup(u"=\"");
            writeAttributeValue(attribute->getNodeValue());
            writeMarkup(u"\"");
        }
        if (!node->hasChildNodes()) {
            writeMarkup(u"/>");
            lineFeed();
            return false;
        }
        writeMarkup(u">");
        lineFeed();
        return true;
    }
    case DOMNode::TEXT_NODE:
        writeEscaped(node->getNodeValue(), XMLFormatter::CharEscapes);
        return false;
    case DOMNode::CDATA_SECTION_NODE:
        writeMarkup(u"<![CDATA[");
        writeMarkup(node->getNodeValue());
        writeMarkup(u"]]>");
        return false;
    case DOMNode::ENTITY_REFERENCE_NODE:
        writeMarkup(u"&");
        writeMarkup(node->getNodeName());
        writeMarkup(u";");
        return false;
    case DOMNode::PROCESSING_INSTRUCTION_NODE: {
        writeMarkup(u"<?");
        writeMarkup(node->getNodeName());
        const XMLCh* data = node->getNodeValue();
        if (data != nullptr && *data != 0) {
            writeMarkup(u" ");
            writeMarkup(data);
        }
        writeMarkup(u"?>");
        return false;
    }
    case DOMNode::COMMENT_NODE:
        writeMarkup(u"<!--");
        writeMarkup(node->getNodeValue());
        writeMarkup(u"-->");
        return false;
    case DOMNode::DOCUMENT_TYPE_NODE: {
        const DOMDocumentType* doctype = static_cast<const DOMDocumentType*>(node);
        writeMarkup(u"<!DOCTYPE ");
        writeMarkup(doctype->getName());
        const XMLCh* publicId = doctype->getPublicId();
        const XMLCh* systemId = doctype->getSystemId();
        const XMLCh* subset = doctype->getInternalSubset();
        if (publicId != nullptr && *publicId != 0) {
            writeMarkup(u" PUBLIC ");
            writeQuoted(publicId);
            if (systemId != nullptr && *systemId != 0) {
                writeMarkup(u" ");
                writeQuoted(systemId);
            }
        } else if (systemId != nullptr && *systemId != 0) {
            writeMarkup(u" SYSTEM ");
            writeQuoted(systemId);
        }
        if (subset != nullptr && *subset != 0) {
            writeMarkup(u"[");
            writeMarkup(subset);
            writeMarkup(u"]");
        }
        writeMarkup(u">");
        return false;
    }
    case DOMNode::ENTITY_NODE: {
        const DOMEntity* entity = static_cast<const DOMEntity*>(node);
        writeMarkup(u"<!ENTITY ");
        writeMarkup(node->getNodeName());
        const XMLCh* publicId = entity->getPublicId();
        const XMLCh* systemId = entity->getSystemId();
        const XMLCh* notation = entity->getNotationName();
        if (publicId != nullptr && *publicId != 0) {
            writeMarkup(u"PUBLIC ");
            writeQuoted(publicId);
        }
        if (systemId != nullptr && *systemId != 0) {
            writeMarkup(u"SYSTEM ");
            writeQuoted(systemId);
        }
        if (notation != nullptr && *notation != 0) {
            writeMarkup(u"NDATA ");
            writeQuoted(notation);
        }
        writeMarkup(u">");
        lineFeed();
        return false;
    }
    default:
        std::cerr << "Unrecognized node type = " << static_cast<int>(node->getNodeType()) << std::endl;
        return false;
    }
}

void printClosing(const DOMNode* node)
{
    if (node->getNodeType() == DOMNode::ELEMENT_NODE) {
        lineFeed();
        writeMarkup(u"</");
        writeMarkup(node->getNodeName());
        writeMarkup(u">");
        lineFeed();
    }
}

// A child of the document node is followed by a line break and a flush.
void afterChildOf(const DOMNode* parent)
{
    if (parent != nullptr && parent->getNodeType() == DOMNode::DOCUMENT_NODE) {
        lineFeed();
        gFormatTarget->flush();
    }
}

// Walks the tree through parent and sibling links instead of recursing, so
// that a deeply nested document cannot exhaust the stack.
void printTree(const DOMNode* root)
{
    const DOMNode* node = root;
    for (;;) {
        if (printOpening(node)) {
            node = node->getFirstChild();
            continue;
        }
        for (;;) {
            if (node == root) {
                return;
            }
            const DOMNode* parent = node->getParentNode();
            afterChildOf(parent);
            if (const DOMNode* next = node->getNextSibling()) {
                node = next;
                break;
            }
            node = parent;
            printClosing(node);
        }
    }
}

} // namespace

std::ostream& operator<<(std::ostream& target, const DOMNode& toWrite)
{
    // Nothing prepared (or the last output already finished): print to target.
    if (gFormatter == nullptr || gFormatTarget->ostrm == nullptr) {
        SetXMLParameters(target);
    }
    printTree(&toWrite);
    return target;
}

namespace {

void printDeclaration(std::ostream& target, const DOMDocument& doc)
{
    if (gFormatter == nullptr) {
        SetXMLParameters(&doc, target, true);
    }
    const XMLCh* version = doc.getXmlVersion();
    writeMarkup(u"<?xml version=\"");
    writeMarkup(version != nullptr && *version != 0 ? version : u"1.0");
    writeMarkup(u"\" encoding=\"");
    writeMarkup(gEncodingName->c_str());
    writeMarkup(u"\"?>\n");
    // The declaration is the document's first child in the printed layout,
    // so it gets the line break that follows every child of the document.
    afterChildOf(&doc);
}

} // namespace

void PrintDocumentWithDeclaration(std::ostream& target, const DOMDocument& doc)
{
    printDeclaration(target, doc);
    printTree(&doc);
}

void PrintDocumentWithDeclaration(std::ostream& target, DOMDocument& doc,
                                  const std::function<DOMNode*(DOMElement* root)>& nextChild)
{
    printDeclaration(target, doc);
    DOMElement* root = doc.getDocumentElement();
    if (root == nullptr) {
        return;
    }
    // The same bytes as printing the whole tree: the root's opening (an
    // empty-element tag when no child comes), each child's subtree, the
    // root's closing, and the line break after a child of the document.
    DOMNode* child = nextChild(root);
    if (printOpening(root)) {
        while (child != nullptr) {
            printTree(child);
            root->removeChild(child);
            child->release();
            child = nextChild(root);
        }
        printClosing(root);
    }
    afterChildOf(&doc);
}

void AppendPrinterEscaped(std::string& out, const std::string& value, bool inAttribute)
{
    if (gEscapeFormatter == nullptr) {
        auto target = std::make_unique<StringFormatTarget>();
        gEscapeFormatter = new XMLFormatter(u"UTF-8", target.get(), XMLFormatter::NoEscapes, gUnRepFlags);
        gEscapeTarget = target.release();
    }
    gEscapeTarget->out = &out;
    XMLText wide(value);
    if (inAttribute) {
        writeAttributeValue(*gEscapeFormatter, wide.get());
    } else if (*wide.get() != 0) {
        gEscapeFormatter->formatBuf(wide.get(), XMLString::stringLen(wide.get()), XMLFormatter::CharEscapes,
                                    gUnRepFlags);
    }
    gEscapeTarget->out = nullptr;
}
