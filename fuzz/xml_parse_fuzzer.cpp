// Fuzz target for the XML reader: parses the input in place, walks the tree it built, and
// checks the lookups against it. The same text is parsed a second time with look-alike markup
// planted behind its terminator; a parser that reads past the end of its text builds a
// different tree there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/XML.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Appends a fingerprint of the subtree to `print`.
void walk(XML::Node& node, const XML::Doc& doc, std::string& print)
{
    check(node.getDoc() == &doc);
    print.append(node.getName().c_str()).append("\1").append(node.getText()).append("\1");
    for (long i = 0; i < node.getCountAttributes(); ++i) {
        const XML::Attribute* a = node.getAttribute(i);
        const XML::Attribute* first = node.getAttribute(a->getName(), false);
        check(first != nullptr && cfStricmp(first->getName(), a->getName()) == 0);
        unsigned long number = 0;
        node.getAttributeValue(a->getName(), number, 0);
        check(number == first->getValueULong());
        check(a->getValueBool() == (a->getValueLong() != 0));
        print.append(a->getName()).append("=").append(a->getValue()).append("\2");
        print += std::to_string(a->getValueFloat());
    }
    check(node.getAttribute(node.getCountAttributes()) == nullptr);
    for (long i = 0; i < node.getCountNodes(); ++i) {
        XML::Node* child = node.getNode(i);
        check(node.getNode(child->getName().c_str()) != nullptr);
        XML::Node* exact = node.getNode(child->getName());
        check(exact != nullptr && exact->getName().strcmp(child->getName().c_str()) == 0);
        print += '(';
        walk(*child, doc, print);
        print += ')';
    }
    check(node.getNode(node.getCountNodes()) == nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The text ends at the first NUL byte, as it does for a string read from a file.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bytes.resize(std::strlen(bytes.c_str()));

    ZmString text(bytes.c_str());
    XML::Doc doc;
    bool ok = doc.parse(text);
    check(size_t(text.getLength()) == std::strlen(text.c_str()));
    std::string print;
    walk(doc, doc, print);

    ZmString planted((bytes + "\"-->?>>/></a>x<b c=\"1\">").c_str());
    planted.setLength(long(bytes.size()));
    XML::Doc other;
    std::string otherPrint;
    check(other.parse(planted) == ok);
    walk(other, other, otherPrint);
    check(otherPrint == print);

    // Releasing a subtree drops every node and attribute it holds.
    if (XML::Node* first = doc.getNode(0L))
        doc.releaseNode(first);
    return 0;
}
