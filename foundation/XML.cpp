#include "foundation/XML.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace XML {

namespace {

// Appends a freshly made item, or deletes it when the collection refuses it.
template <class T>
T* adopt(ZmCollection& items, T* item)
{
    if (items.add(item))
        return item;
    delete item;
    return nullptr;
}

bool isNameChar(char c)
{
    return cfIsCSymbol(c) || cfIsDigit(c);
}

// The parser works on the range [p, end) rather than on terminators, because it plants NUL
// bytes in the text as it goes and must never look past the end of the text.
bool startsWith(const char* p, const char* end, std::string_view what)
{
    return size_t(end - p) >= what.size() && std::memcmp(p, what.data(), what.size()) == 0;
}

bool startsElement(const char* p, const char* end)
{
    return end - p >= 2 && p[0] == '<' && (cfIsAlpha(p[1]) || cfIsDigit(p[1]));
}

char* find(char* from, const char* end, std::string_view what)
{
    size_t at = std::string_view(from, size_t(end - from)).find(what);
    return at == std::string_view::npos ? nullptr : from + at;
}

char* skipSpace(char* p, const char* end)
{
    while (p < end && cfIsSpace(*p))
        ++p;
    return p;
}

// Reads the name that follows `mark` (a "<" or "/" before `end`), moves it one byte left onto
// `mark` and terminates it there, so that it can be used in place. Returns the end of the name.
char* readName(char* mark, const char* end)
{
    char* first = mark + 1;
    char* last = first;
    while (last < end && isNameChar(*last))
        ++last;
    std::memmove(mark, first, size_t(last - first));
    mark[last - first] = '\0';
    return last;
}

// Reads name="value" at `p`, terminating the name in place, and unescapes the value into
// `value`. Returns the position behind the closing quote, or null on a syntax error.
char* readAttribute(char* p, const char* end, ZmString& value)
{
    char* nameEnd = p;
    while (nameEnd < end && isNameChar(*nameEnd))
        ++nameEnd;
    char* q = skipSpace(nameEnd, end);
    if (q == end || *q != '=')
        return nullptr;
    q = skipSpace(q + 1, end);
    if (q == end || *q != '"')
        return nullptr;
    char* close = find(q + 1, end, "\"");
    if (close == nullptr)
        return nullptr;
    *nameEnd = '\0';
    *close = '\0';
    value.assign(q + 1);
    postStreaming(value);
    return close + 1;
}

// Drops every run of white space at the start of the text and behind a ">". Returns the new end.
char* compact(char* begin, const char* end)
{
    char* out = begin;
    bool dropSpace = true;
    for (const char* in = begin; in < end; ++in) {
        if (dropSpace && cfIsSpace(*in))
            continue;
        dropSpace = *in == '>';
        *out++ = *in;
    }
    return out;
}

} // namespace

// ---- Attribute ----

Attribute::Attribute(const char* name) : m_sName(name) {}

Attribute::Attribute(const char* name, const char* value) : m_sName(name), m_sValue(value) {}

Attribute::Attribute(const char* name, long value) : m_sName(name)
{
    setValue(value);
}

Attribute::Attribute(const char* name, float value) : m_sName(name)
{
    setValue(value);
}

Attribute::Attribute(const char* name, bool value) : m_sName(name)
{
    setValue(value);
}

void Attribute::setName(const char* name)
{
    m_sName.assign(name);
}

void Attribute::setValue(const char* value)
{
    m_sValue.assign(value);
}

void Attribute::setValue(bool value)
{
    m_sValue.assign(value ? "1" : "0");
}

void Attribute::setValue(long value)
{
    m_sValue.printf("%ld", value);
}

void Attribute::setValue(unsigned long value)
{
    m_sValue.printf("%lu", value);
}

void Attribute::setValue(float value)
{
    m_sValue.printf("%e", double(value));
}

long Attribute::getValueLong() const
{
    return std::strtol(m_sValue.c_str(), nullptr, 10);
}

bool Attribute::getValueBool() const
{
    return getValueLong() != 0;
}

unsigned long Attribute::getValueULong() const
{
    return std::strtoul(m_sValue.c_str(), nullptr, 10);
}

float Attribute::getValueFloat() const
{
    return float(std::strtod(m_sValue.c_str(), nullptr));
}

// ---- Node ----

Node::Node(Doc* doc) : m_pDoc(doc) {}

Node::Node(Doc* doc, const ZmString& name) : m_pDoc(doc), m_sName(name) {}

Node::Node(Doc* doc, const char* name) : m_pDoc(doc), m_sName(name) {}

Node::~Node() = default;

bool Node::onTagHeader(char*)
{
    return false;
}

bool Node::onTagComment(char*)
{
    return true;
}

Node* Node::getNode(long index) const
{
    return static_cast<Node*>(m_nodes.atPos(index));
}

Node* Node::getNode(const char* name) const
{
    if (name == nullptr)
        return nullptr;
    for (long i = 0; i < m_nodes.count(); ++i)
        if (cfStricmp(getNode(i)->m_sName.c_str(), name) == 0)
            return getNode(i);
    return nullptr;
}

Node* Node::getNode(const ZmString& name) const
{
    for (long i = 0; i < m_nodes.count(); ++i)
        if (getNode(i)->m_sName.compare(name) == 0)
            return getNode(i);
    return nullptr;
}

Node* Node::addNode(Node* child)
{
    if (child == nullptr || m_nodes.findSame(child) || !m_nodes.add(child))
        return nullptr;
    child->m_pDoc = m_pDoc;
    return child;
}

Node* Node::addNode(const char* name)
{
    return adopt(m_nodes, new Node(m_pDoc, name));
}

Node* Node::addNode(const ZmString& name)
{
    return adopt(m_nodes, new Node(m_pDoc, name));
}

Node* Node::getOrCreateNode(const char* name)
{
    Node* node = getNode(name);
    return node ? node : addNode(name);
}

Node* Node::getOrCreateNode(const ZmString& name)
{
    Node* node = getNode(name);
    return node ? node : addNode(name);
}

void Node::releaseNode(Node* child)
{
    m_nodes.remove(child);
}

void Node::releaseAttribute(Attribute* attribute)
{
    m_attributes.remove(attribute);
}

void Node::clear()
{
    removeChilds();
    removeAttributes();
}

Attribute* Node::getAttribute(long index) const
{
    return static_cast<Attribute*>(m_attributes.atPos(index));
}

const Attribute* Node::findAttribute(const char* name) const
{
    if (name == nullptr)
        return nullptr;
    for (long i = 0; i < m_attributes.count(); ++i)
        if (cfStricmp(getAttribute(i)->getName(), name) == 0)
            return getAttribute(i);
    return nullptr;
}

Attribute* Node::getAttribute(const char* name, bool create)
{
    if (const Attribute* found = findAttribute(name))
        return const_cast<Attribute*>(found); // the node holds it; only the lookup is const
    return create && name ? adopt(m_attributes, new Attribute(name)) : nullptr;
}

Attribute* Node::addAttribute(Attribute* attribute)
{
    if (attribute == nullptr || m_attributes.findSame(attribute) || !m_attributes.add(attribute))
        return nullptr;
    return attribute;
}

Attribute* Node::addAttribute(const ZmString& name, const ZmString& value)
{
    return adopt(m_attributes, new Attribute(name.c_str(), value.c_str()));
}

Attribute* Node::addAttribute(const ZmString& name, long value)
{
    return adopt(m_attributes, new Attribute(name.c_str(), value));
}

Attribute* Node::addAttribute(const ZmString& name, float value)
{
    return adopt(m_attributes, new Attribute(name.c_str(), value));
}

const char* Node::getAttributeValue(const char* name) const
{
    const Attribute* found = findAttribute(name);
    return found ? found->getValue() : "";
}

void Node::getAttributeValue(const char* name, ZmString& out, const char* fallback) const
{
    const Attribute* found = findAttribute(name);
    out.assign(found ? found->getValue() : fallback);
}

void Node::getAttributeValue(const char* name, long& out, long fallback) const
{
    const Attribute* found = findAttribute(name);
    out = found ? found->getValueLong() : fallback;
}

void Node::getAttributeValue(const char* name, unsigned long& out, unsigned long fallback) const
{
    const Attribute* found = findAttribute(name);
    out = found ? found->getValueULong() : fallback;
}

void Node::getAttributeValue(const char* name, bool& out, bool fallback) const
{
    const Attribute* found = findAttribute(name);
    out = found ? found->getValueBool() : fallback;
}

void Node::getAttributeValue(const char* name, float& out, float fallback) const
{
    const Attribute* found = findAttribute(name);
    out = found ? found->getValueFloat() : fallback;
}

// ---- Doc ----

Doc::Doc() : Node(this) {}

Doc::Doc(const ZmString& text) : Node(this)
{
    load(text);
}

bool Doc::onTagHeader(char*)
{
    return true;
}

void Doc::load(const ZmString& text)
{
    ZmString copy(text);
    parse(copy);
}

bool Doc::parse(ZmString& text)
{
    char* begin = text.data();
    char* end = compact(begin, begin + text.getLength());
    *end = '\0';
    bool ok = parseMarkup(begin, end);
    text.countLength(); // the text now ends at the first NUL the parse planted
    return ok;
}

// Document level: everything outside markup is skipped.
bool Doc::parseMarkup(char* p, char* end)
{
    while ((p = find(p, end, "<")) != nullptr) {
        if (startsWith(p, end, "<!--")) {
            char* close = find(p + 4, end, "-->");
            if (close == nullptr)
                return false;
            *close = '\0';
            if (!onTagComment(p + 4))
                return false;
            p = close + 3;
        } else if (startsWith(p, end, "<!")) {
            if (end - p < 9 || cfStrnicmp(p + 2, "doctype", 7) != 0)
                return false;
            char* close = find(p + 9, end, ">");
            if (close == nullptr)
                return false;
            p = close + 1;
        } else if (startsWith(p, end, "<?")) {
            char* close = find(p + 2, end, "?>");
            if (close == nullptr)
                return false;
            *close = '\0';
            if (!onTagHeader(p + 2))
                return false;
            p = close + 2;
        } else if (!startsElement(p, end) || !parseElement(*this, p, end, 1)) {
            return false;
        }
    }
    return true;
}

// `p` is at the "<" of a start tag; on success it is left behind the element's end.
bool Doc::parseElement(Node& parent, char*& p, char* end, int depth)
{
    if (depth > kMaxDepth)
        return false;
    char* name = p;
    p = readName(p, end);
    Node* node = adopt(parent.m_nodes, new Node(this, name));
    if (node == nullptr)
        return false;
    bool inStartTag = true;
    for (;;) {
        while (p < end && cfIsSpace(*p))
            *p++ = '\0';
        if (p == end) // unclosed elements at the end of the text are accepted
            return true;
        if (*p == '>') {
            inStartTag = false;
            ++p;
        } else if (startsWith(p, end, "/>")) {
            p += 2;
            return true;
        } else if (startsElement(p, end)) {
            if (!parseElement(*node, p, end, depth + 1))
                return false;
        } else if (startsWith(p, end, "</")) {
            char* endName = p + 1;
            char* q = skipSpace(readName(endName, end), end);
            if (node->m_sName.strcmp(endName) != 0 || q == end || *q != '>')
                return false;
            p = q + 1;
            return true;
        } else if (*p == '<') {
            return false;
        } else if (inStartTag && cfIsAlpha(*p)) {
            ZmString value;
            char* next = readAttribute(p, end, value);
            if (next == nullptr || !adopt(node->m_attributes, new Attribute(p, value.c_str())))
                return false;
            p = next;
        } else {
            char* next = find(p, end, "<");
            if (next == nullptr)
                return false;
            *next = '\0';
            node->m_sText.assign(p);
            *next = '<';
            p = next;
        }
    }
}

void postStreaming(ZmString& s)
{
    s.replace("&quot;", "\"");
    s.replace("&lt;", "<");
    s.replace("&gt;", ">");
    s.replace("&apos;", "'");
    s.replace("&amp;", "&");
}

} // namespace XML
