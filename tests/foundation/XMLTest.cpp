#include "foundation/XML.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

namespace {

// Parses `source` into `doc` from a string of its own.
bool parse(XML::Doc& doc, const std::string& source)
{
    ZmString text(source.c_str());
    return doc.parse(text);
}

std::string nested(int depth)
{
    std::string s;
    for (int i = 0; i < depth; ++i)
        s += "<n>";
    return s;
}

// Records its destruction, so ownership through the collections can be observed.
class TrackedNode : public XML::Node {
public:
    TrackedNode(XML::Doc* doc, bool& destroyed) : XML::Node(doc, "t"), m_pDestroyed(&destroyed) {}
    ~TrackedNode() override { *m_pDestroyed = true; }

private:
    bool* m_pDestroyed;
};

class RecordingDoc : public XML::Doc {
public:
    bool onTagComment(char* content) override
    {
        m_sComments += content;
        m_sComments += '|';
        return m_bAcceptComments;
    }

    ZmString m_sComments;
    bool m_bAcceptComments = true;
};

} // namespace

TEST(XmlParse, ElementsAndAttributes)
{
    for (const char* source : {"<a x=\"1\"/>", "<a x = \"1\" ></a>", "  \n<a\tx=\"1\"\n/>"}) {
        XML::Doc doc;
        ASSERT_TRUE(parse(doc, source)) << source;
        ASSERT_EQ(doc.getCountNodes(), 1) << source;
        XML::Node* a = doc.getNode(0L);
        ASSERT_EQ(a->getCountAttributes(), 1);
        EXPECT_EQ(std::tuple(std::string(a->getName().c_str()), std::string(a->getAttribute(0L)->getName()),
                             std::string(a->getAttribute(0L)->getValue()), a->getDoc()),
                  std::tuple("a", "x", "1", &doc));
    }

    XML::Doc doc;
    ASSERT_TRUE(parse(doc, "<Settings><AjExt_2 Clock=\"1\" USB1Mode=\"0\"/><9x/></Settings><b/>"));
    ASSERT_EQ(doc.getCountNodes(), 2);
    XML::Node* settings = doc.getNode(0L);
    ASSERT_EQ(settings->getCountNodes(), 2);
    EXPECT_STREQ(settings->getNode(0L)->getName().c_str(), "AjExt_2");
    EXPECT_EQ(settings->getNode(0L)->getCountAttributes(), 2);
    EXPECT_STREQ(settings->getNode(1L)->getName().c_str(), "9x");
    EXPECT_STREQ(doc.getNode(1L)->getName().c_str(), "b");
    EXPECT_EQ(std::pair(doc.getName().getLength(), doc.getDoc()), std::pair(0, &doc));
}

TEST(XmlParse, TextAndEntities)
{
    XML::Doc doc;
    // Attribute values are unescaped (XmlPostStreaming), text is kept as written.
    ASSERT_TRUE(parse(doc, "<a v=\"&lt;&amp;&gt;\">x &amp; y</a>"));
    EXPECT_STREQ(doc.getNode(0L)->getAttributeValue("v"), "<&>");
    EXPECT_STREQ(doc.getNode(0L)->getText(), "x &amp; y");

    // White space behind ">" goes, white space inside and before "<" stays; the last run of
    // character data wins.
    XML::Doc runs;
    ASSERT_TRUE(parse(runs, "<a>\n  first <b/>  second  </a>"));
    EXPECT_STREQ(runs.getNode(0L)->getText(), "second  ");
}

TEST(XmlParse, SkippedMarkup)
{
    RecordingDoc doc;
    ASSERT_TRUE(parse(doc, "<?xml version=\"1.0\"?><!-- note --><!DOCTYPE s><s/><!--x-->"));
    ASSERT_EQ(doc.getCountNodes(), 1);
    EXPECT_STREQ(doc.getNode(0L)->getName().c_str(), "s");
    EXPECT_STREQ(doc.m_sComments.c_str(), " note |x|");

    RecordingDoc stopped;
    stopped.m_bAcceptComments = false;
    EXPECT_FALSE(parse(stopped, "<!--c--><a/>"));
    EXPECT_EQ(stopped.getCountNodes(), 0);
}

TEST(XmlParse, SyntaxErrorsFail)
{
    const char* broken[] = {
        "<a x='1'/>", "<a>hi</A>", "<!ELEMENT s>", "<a><!-- c --></a>", "</a>", "< a/>",
        // unterminated constructs, cut off at every point near the end of the text
        "<", "<!", "<!-", "<!--", "<!-- x --", "<!DOCTYP", "<!doctype x", "<?", "<?xml ?",
        "<a x", "<a x ", "<a x=", "<a x= ", "<a x=\"", "<a x=\"1", "<a/", "<a>text", "<a></",
        "<a></a", "<a></a ", "<a><", "<a>< b/></a>", "<a></b>",
    };
    for (const char* source : broken) {
        XML::Doc doc;
        EXPECT_FALSE(parse(doc, source)) << source;
    }

    // What was read before the damage stays, including the element that holds it.
    XML::Doc doc;
    EXPECT_FALSE(parse(doc, "<a/><b><c/><d x='1'/></b>"));
    ASSERT_EQ(doc.getCountNodes(), 2);
    XML::Node* b = doc.getNode(1L);
    ASSERT_EQ(b->getCountNodes(), 2);
    EXPECT_STREQ(b->getNode(1L)->getName().c_str(), "d");
    EXPECT_EQ(b->getNode(1L)->getCountAttributes(), 0);
    // The case-insensitive lookup still finds the element whose end tag differed in case.
    XML::Doc cased;
    EXPECT_FALSE(parse(cased, "<a>hi</A>"));
    EXPECT_NE(cased.getNode("A"), nullptr);
}

TEST(XmlParse, UnclosedElementsAtTheEndAreAccepted)
{
    for (const char* source : {"", "  ", "text", "<a", "<a ", "<a>", "<a x=\"1\"", "<a><b/>"}) {
        XML::Doc doc;
        EXPECT_TRUE(parse(doc, source)) << source;
    }
    XML::Doc doc;
    ASSERT_TRUE(parse(doc, "<a><b x=\"1\"/>"));
    ASSERT_EQ(doc.getCountNodes(), 1);
    ASSERT_NE(doc.getNode(0L)->getNode("b"), nullptr);
    EXPECT_STREQ(doc.getNode(0L)->getNode("b")->getAttributeValue("x"), "1");
}

TEST(XmlParse, NeverLooksBehindTheTerminator)
{
    // The bytes behind the terminator would complete each construct; they must be ignored
    // and left as they were.
    const char* sources[] = {"<a x=\"1", "<!-- x", "<?xml", "<!DOCTY", "<a>text", "<a></a", "<"};
    const std::string tail = "\"-->?>PE>/></a>";
    for (const char* source : sources) {
        size_t length = std::strlen(source);
        ZmString text((source + tail).c_str());
        text.setLength(long(length));
        XML::Doc doc;
        EXPECT_FALSE(doc.parse(text)) << source;
        EXPECT_EQ(std::string(text.data() + length + 1, tail.size() - 1), tail.substr(1)) << source;
    }

    // Compaction leaves stale bytes of its own behind the shorter text.
    XML::Doc compacted;
    EXPECT_TRUE(parse(compacted, "<a>    <b x=\"1\""));
}

TEST(XmlParse, WorksInPlaceAndAppends)
{
    ZmString text("  <a x=\"1\">t</a>");
    XML::Doc doc;
    ASSERT_TRUE(doc.parse(text));
    // The text was cut up, and its length still matches what is left of it.
    EXPECT_EQ(size_t(text.getLength()), std::strlen(text.c_str()));
    EXPECT_STREQ(text.c_str(), "a");

    ZmString kept("<b/>");
    doc.load(kept);
    EXPECT_STREQ(kept.c_str(), "<b/>");
    ASSERT_EQ(doc.getCountNodes(), 2);
    EXPECT_STREQ(doc.getNode(1L)->getName().c_str(), "b");

    XML::Doc loaded(ZmString("<c/>"));
    EXPECT_NE(loaded.getNode("c"), nullptr);
}

TEST(XmlParse, NestingIsBounded)
{
    XML::Doc deepest;
    EXPECT_TRUE(parse(deepest, nested(XML::Doc::kMaxDepth)));
    XML::Node* node = &deepest;
    for (int i = 0; i < XML::Doc::kMaxDepth; ++i) {
        ASSERT_EQ(node->getCountNodes(), 1);
        node = node->getNode(0L);
    }
    EXPECT_EQ(node->getCountNodes(), 0);

    XML::Doc tooDeep;
    EXPECT_FALSE(parse(tooDeep, nested(XML::Doc::kMaxDepth + 1)));
    EXPECT_EQ(tooDeep.getCountNodes(), 1);
    XML::Doc hostile;
    EXPECT_FALSE(parse(hostile, nested(100000)));

    // Depth counts nesting, not elements.
    std::string wide;
    for (int i = 0; i < 1000; ++i)
        wide += "<n><m/></n>";
    XML::Doc doc;
    EXPECT_TRUE(parse(doc, wide));
    EXPECT_EQ(doc.getCountNodes(), 1000);
}

TEST(XmlNode, LookupsByName)
{
    XML::Doc doc;
    XML::Node* lower = doc.addNode("item");
    XML::Node* upper = doc.addNode(ZmString("ITEM"));
    ASSERT_NE(lower, nullptr);
    ASSERT_NE(upper, nullptr);
    EXPECT_NE(lower, upper); // no check for an existing name
    EXPECT_EQ(upper->getDoc(), &doc);

    EXPECT_EQ(doc.getNode("Item"), lower);           // const char*: ignoring case, first match
    EXPECT_EQ(doc.getNode(ZmString("ITEM")), upper); // ZmString: exact
    for (XML::Node* none : {doc.getNode(ZmString("Item")), doc.getNode("ite"), doc.getNode(static_cast<const char*>(nullptr)),
                            doc.getNode(2L), doc.getNode(-1L)})
        EXPECT_EQ(none, nullptr);

    EXPECT_EQ(doc.getOrCreateNode("iTeM"), lower);
    XML::Node* exact = doc.getOrCreateNode(ZmString("Item"));
    EXPECT_NE(exact, lower);
    EXPECT_NE(exact, upper);
    EXPECT_EQ(doc.getCountNodes(), 3);
}

TEST(XmlNode, ChildOwnership)
{
    XML::Doc doc;
    XML::Node* parent = doc.addNode("p");
    bool destroyed = false;
    auto* child = new TrackedNode(nullptr, destroyed);
    EXPECT_EQ(parent->addNode(static_cast<XML::Node*>(nullptr)), nullptr);
    EXPECT_EQ(parent->addNode(child), child);
    EXPECT_EQ(child->getDoc(), &doc);
    EXPECT_EQ(parent->addNode(child), nullptr); // already held
    EXPECT_EQ(child->getReferences(), 1);

    // A child held elsewhere as well survives its release.
    child->incReferences();
    parent->releaseNode(child);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(parent->getCountNodes(), 0);
    parent->addNode(child);
    child->decReferences();

    // Held only by the tree, it goes with the tree.
    doc.releaseNode(parent);
    EXPECT_TRUE(destroyed);

    bool cleared = false;
    XML::Node* node = doc.addNode("n");
    node->addNode(new TrackedNode(&doc, cleared));
    node->addAttribute(ZmString("a"), ZmString("1"));
    node->removeAttributes();
    EXPECT_EQ(std::pair(node->getCountAttributes(), node->getCountNodes()), std::pair(0L, 1L));
    node->addAttribute(ZmString("a"), ZmString("1"));
    node->clear();
    EXPECT_TRUE(cleared);
    EXPECT_EQ(node->getCountAttributes(), 0);
}

TEST(XmlNode, AttributesAndFallbacks)
{
    XML::Node node(nullptr, "n");
    EXPECT_NE(node.addAttribute(ZmString("Rate"), 48000L), nullptr);
    EXPECT_NE(node.addAttribute(ZmString("rate"), ZmString("44100")), nullptr); // a duplicate
    node.addAttribute(ZmString("gain"), 0.5f);
    node.addAttribute(ZmString("neg"), ZmString("-7"));
    EXPECT_EQ(node.getCountAttributes(), 4);
    EXPECT_STREQ(node.getAttributeValue("RATE"), "48000"); // the first of the duplicates
    EXPECT_STREQ(node.getAttributeValue("missing"), "");

    ZmString text;
    long number = 0;
    unsigned long unsignedNumber = 0;
    bool flag = false;
    float real = 0;
    node.getAttributeValue("rate", text, "x");
    node.getAttributeValue("rate", number, -1);
    node.getAttributeValue("neg", unsignedNumber, 0);
    node.getAttributeValue("rate", flag, false);
    node.getAttributeValue("gain", real, 2.0f);
    // strtoul negates
    EXPECT_EQ(std::tuple(std::string(text.c_str()), number, unsignedNumber, flag, real),
              std::tuple("48000", 48000L, 0UL - 7, true, 0.5f));

    node.getAttributeValue("none", text, "fallback");
    node.getAttributeValue("none", number, -1);
    node.getAttributeValue("none", unsignedNumber, 9);
    node.getAttributeValue("none", flag, false);
    node.getAttributeValue("none", real, 2.0f);
    EXPECT_EQ(std::tuple(std::string(text.c_str()), number, unsignedNumber, flag, real),
              std::tuple("fallback", -1L, 9UL, false, 2.0f));

    EXPECT_EQ(node.getAttribute("none", false), nullptr);
    XML::Attribute* created = node.getAttribute("None", true);
    ASSERT_NE(created, nullptr);
    EXPECT_STREQ(created->getValue(), "");
    EXPECT_EQ(node.getAttribute("NONE", true), created);
    EXPECT_EQ(node.getCountAttributes(), 5);

    EXPECT_EQ(node.addAttribute(static_cast<XML::Attribute*>(nullptr)), nullptr);
    EXPECT_EQ(node.addAttribute(created), nullptr); // already held
    node.releaseAttribute(created);
    EXPECT_EQ(node.getCountAttributes(), 4);
    EXPECT_EQ(node.getAttribute(4L), nullptr);
}

TEST(XmlAttribute, FormatsAndReadsValues)
{
    EXPECT_STREQ(XML::Attribute("a").getValue(), "");
    EXPECT_STREQ(XML::Attribute("a", -5L).getValue(), "-5");
    EXPECT_STREQ(XML::Attribute("a", 1.5f).getValue(), "1.500000e+00");
    EXPECT_STREQ(XML::Attribute("a", true).getValue(), "1");
    EXPECT_STREQ(XML::Attribute("a", "v").getValue(), "v");

    XML::Attribute a("a");
    a.setName("b");
    EXPECT_STREQ(a.getName(), "b");
    a.setValue(ULONG_MAX);
    EXPECT_EQ(a.getValueULong(), ULONG_MAX);
    a.setValue(LONG_MIN);
    EXPECT_EQ(a.getValueLong(), LONG_MIN);
    a.setValue(false);
    EXPECT_EQ(std::pair(std::string(a.getValue()), a.getValueBool()), std::pair(std::string("0"), false));
    a.setValue(-0.25f);
    EXPECT_FLOAT_EQ(a.getValueFloat(), -0.25f);

    // Outside text: leading digits count, the rest is ignored, and too large a number saturates.
    a.setValue("12abc");
    EXPECT_EQ(std::pair(a.getValueLong(), a.getValueBool()), std::pair(12L, true));
    a.setValue("abc");
    EXPECT_EQ(std::pair(a.getValueLong(), a.getValueFloat()), std::pair(0L, 0.0f));
    a.setValue("99999999999999999999999");
    EXPECT_EQ(std::pair(a.getValueLong(), a.getValueULong()), std::pair(LONG_MAX, ULONG_MAX));
}

TEST(XmlPostStreaming, UnescapesAmpersandLast)
{
    const char* cases[][2] = {
        {"&lt;&amp;&gt;", "<&>"},
        {"&quot;&apos;", "\"'"},
        {"&amp;lt;", "&lt;"},      // an escaped entity is unescaped once
        {"&amp;amp;", "&amp;"},
        {"a &unknown; b", "a &unknown; b"},
    };
    for (const auto& c : cases) {
        ZmString s(c[0]);
        XML::postStreaming(s);
        EXPECT_STREQ(s.c_str(), c[1]) << c[0];
    }
}
