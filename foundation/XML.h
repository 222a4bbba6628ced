#pragma once

#include "foundation/ZmCollection.h"
#include "foundation/ZmString.h"

// A small XML reader for the settings file: elements, double-quoted attributes, and the five
// standard entities in attribute values. Comments, a doctype and <?...?> headers are skipped.
namespace XML {

class Doc;

class Attribute : public ZmObject {
public:
    explicit Attribute(const char* name);
    Attribute(const char* name, const char* value);
    Attribute(const char* name, long value);
    Attribute(const char* name, float value);
    Attribute(const char* name, bool value);

    void setName(const char* name);
    void setValue(const char* value);
    void setValue(bool value);
    void setValue(long value);
    void setValue(unsigned long value);
    void setValue(float value);

    const char* getName() const { return m_sName.c_str(); }
    const char* getValue() const { return m_sValue.c_str(); }
    // Numbers that do not fit saturate (strtol rules).
    long getValueLong() const;
    bool getValueBool() const;
    unsigned long getValueULong() const;
    float getValueFloat() const;

private:
    ZmString m_sName;
    ZmString m_sValue;
};

// One element. Children and attributes are held by reference: releasing them or destroying
// the node drops that reference.
class Node : public ZmObject {
public:
    explicit Node(Doc* doc);
    Node(Doc* doc, const ZmString& name);
    Node(Doc* doc, const char* name);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node() override;

    // Called with the text between "<?" and "?>"; false stops the parse.
    virtual bool onTagHeader(char* content);
    // Called with the text between "<!--" and "-->"; false stops the parse.
    virtual bool onTagComment(char* content);

    const ZmString& getName() const { return m_sName; }
    void setName(const ZmString& name) { m_sName = name; }
    const char* getText() const { return m_sText.c_str(); }
    Doc* getDoc() const { return m_pDoc; }

    long getCountNodes() const { return m_nodes.count(); }
    Node* getNode(long index) const;
    // Matches ignoring ASCII case.
    Node* getNode(const char* name) const;
    // Matches exactly.
    Node* getNode(const ZmString& name) const;
    Node* addNode(Node* child);
    Node* addNode(const char* name);
    Node* addNode(const ZmString& name);
    Node* getOrCreateNode(const char* name);
    Node* getOrCreateNode(const ZmString& name);
    void releaseNode(Node* child);
    void releaseAttribute(Attribute* attribute);
    void removeChilds() { m_nodes.removeAll(); }
    void removeAttributes() { m_attributes.removeAll(); }
    void clear();

    long getCountAttributes() const { return m_attributes.count(); }
    Attribute* getAttribute(long index) const;
    // Matches ignoring ASCII case; with `create`, a missing attribute is appended empty.
    Attribute* getAttribute(const char* name, bool create);
    Attribute* addAttribute(Attribute* attribute);
    Attribute* addAttribute(const ZmString& name, const ZmString& value);
    Attribute* addAttribute(const ZmString& name, long value);
    Attribute* addAttribute(const ZmString& name, float value);

    // The value of the first attribute of that name (ignoring ASCII case), or "".
    const char* getAttributeValue(const char* name) const;
    // These give `fallback` when the attribute is missing.
    void getAttributeValue(const char* name, ZmString& out, const char* fallback) const;
    void getAttributeValue(const char* name, long& out, long fallback) const;
    void getAttributeValue(const char* name, unsigned long& out, unsigned long fallback) const;
    void getAttributeValue(const char* name, bool& out, bool fallback) const;
    void getAttributeValue(const char* name, float& out, float fallback) const;

private:
    friend class Doc; // the parser fills text, children and attributes in place

    const Attribute* findAttribute(const char* name) const;

    Doc* m_pDoc;
    ZmString m_sName;
    ZmString m_sText;
    ZmCollection m_nodes;
    ZmCollection m_attributes;
};

// The document is its own root node: its name is empty, its doc is itself, and the top-level
// elements are its children.
class Doc : public Node {
public:
    // Elements nested deeper than this fail the parse, so that no input can exhaust the stack.
    static constexpr int kMaxDepth = 256;

    Doc();
    explicit Doc(const ZmString& text);

    bool onTagHeader(char* content) override;

    // Parses a copy of `text`; the outcome is not reported.
    void load(const ZmString& text);
    // Parses in place: the bytes of `text` are compacted and cut up with NULs. New elements are
    // appended to the document; on a syntax error those read so far stay and the result is false.
    bool parse(ZmString& text);

private:
    bool parseMarkup(char* p, char* end);
    bool parseElement(Node& parent, char*& p, char* end, int depth);
};

// Replaces the five standard entities, "&amp;" last.
void postStreaming(ZmString& s);

} // namespace XML
