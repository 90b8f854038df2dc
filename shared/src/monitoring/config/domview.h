// The view of a document tree that the entry rules (entryrules.h) read from:
// the host-side reader of single texts runs them over a DOM, as the tests'
// DOM reader does over whole documents.
#pragma once

#include "xmltext.h"

#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/util/XMLString.hpp>

#include <string>

struct DomView {
    using Node = const xercesc::DOMElement*;
    static Node none() { return nullptr; }
    static bool valid(Node node) { return node != nullptr; }

    static Node firstElementChild(const xercesc::DOMNode* node)
    {
        for (const xercesc::DOMNode* child = node != nullptr ? node->getFirstChild() : nullptr; child != nullptr;
             child = child->getNextSibling()) {
            if (child->getNodeType() == xercesc::DOMNode::ELEMENT_NODE) {
                return static_cast<Node>(child);
            }
        }
        return nullptr;
    }
    static const XMLCh* name(Node node) { return node->getTagName(); }
    static const XMLCh* attribute(Node node, const XMLCh* name) { return node->getAttribute(name); }

    /// The elements of that name below element, in document order, until
    /// visit returns false. Walks through parent and sibling links, so a
    /// deeply nested tree cannot exhaust the stack.
    template <typename Visit>
    static void forEachBelow(Node element, const XMLCh* name, Visit visit)
    {
        for (const xercesc::DOMNode* node = element->getFirstChild(); node != nullptr;
             node = nextBelow(node, element)) {
            if (node->getNodeType() == xercesc::DOMNode::ELEMENT_NODE &&
                xercesc::XMLString::equals(node->getNodeName(), name) && !visit(static_cast<Node>(node))) {
                return;
            }
        }
    }

    static bool valueText(Node element, std::string& value)
    {
        std::u16string text;
        bool any = false;
        for (const xercesc::DOMNode* child = element->getFirstChild(); child != nullptr;
             child = child->getNextSibling()) {
            const xercesc::DOMNode::NodeType type = child->getNodeType();
            if ((type == xercesc::DOMNode::TEXT_NODE || type == xercesc::DOMNode::CDATA_SECTION_NODE) &&
                child->getNodeValue() != nullptr) {
                text += child->getNodeValue();
                any = true;
            }
        }
        value = toNarrow(text.c_str());
        return any;
    }

private:
    // The node after node in document order, staying inside the subtree of top.
    static const xercesc::DOMNode* nextBelow(const xercesc::DOMNode* node, const xercesc::DOMNode* top)
    {
        if (const xercesc::DOMNode* child = node->getFirstChild()) {
            return child;
        }
        for (; node != top; node = node->getParentNode()) {
            if (const xercesc::DOMNode* next = node->getNextSibling()) {
                return next;
            }
        }
        return nullptr;
    }
};
