#include "testutil.h"
#include "xelement.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::shared_ptr<XElement> withValue(const std::string& value)
{
    auto e = std::make_shared<XElement>("e");
    e->setAttribute("v", value);
    return e;
}

std::string messageOf(const std::string& xml)
{
    try {
        XElement::fromString(xml);
    } catch (const xml_error& e) {
        return e.what();
    }
    return "(accepted)";
}

struct NumberCase {
    const char* value;
    int asInt;
    long long asLongLong;
    double asDouble;
    float asFloat;
};

TEST(XElementGetters, NumbersFallBackToTheDefault)
{
    const int di = -99;
    const long long dl = -99;
    const double dd = -9.5;
    const float df = -9.5f;
    const NumberCase cases[] = {
        {"12", 12, 12, 12, 12},
        {"  12", 12, 12, 12, 12},
        {"12abc", 12, 12, 12, 12},
        {"12.7", 12, 12, 12.7, 12.7f},
        {"+7", 7, 7, 7, 7},
        {"", di, dl, dd, df},
        {"   ", di, dl, dd, df},
        {"-", di, dl, dd, df},
        {"abc", di, dl, dd, df},
        {"2147483648", di, 2147483648LL, 2147483648.0, 2147483648.0f},
        {"-2147483648", INT_MIN, -2147483648LL, -2147483648.0, -2147483648.0f},
        {"9223372036854775808", di, dl, 9223372036854775808.0, 9223372036854775808.0f},
        {"1e39", 1, 1, 1e39, df},
        {"0x1A", 0, 0, 26, 26},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        auto e = withValue(c.value);
        EXPECT_EQ(e->getAttribute("v", di), c.asInt);
        EXPECT_EQ(e->getAttribute("v", dl), c.asLongLong);
        EXPECT_DOUBLE_EQ(e->getAttribute("v", dd), c.asDouble);
        EXPECT_FLOAT_EQ(e->getAttribute("v", df), c.asFloat);
    }
}

TEST(XElementGetters, BooleansAcceptOnlyFourSpellings)
{
    const struct { const char* value; bool whenDefaultFalse; bool whenDefaultTrue; } cases[] = {
        {"true", true, true},   {"True", true, true},   {"false", false, false}, {"False", false, false},
        {"TRUE", false, true},  {"yes", false, true},   {"1", false, true},      {" true", false, true},
        {"", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        auto e = withValue(c.value);
        EXPECT_EQ(e->getAttribute("v", false), c.whenDefaultFalse);
        EXPECT_EQ(e->getAttribute("v", true), c.whenDefaultTrue);
    }
}

TEST(XElementGetters, AbsentAndEmptyAttributes)
{
    XElement e("e");
    e.setAttribute("empty", std::string());
    EXPECT_EQ(e.getAttribute("empty", std::string("d")), "");
    EXPECT_EQ(e.getAttribute("empty", 5), 5);
    EXPECT_EQ(e.getAttribute("missing", "literal"), "literal"); // not the bool getter
    EXPECT_EQ(e.getAttribute("missing", static_cast<const char*>(nullptr)), "");
    EXPECT_FALSE(e.hasAttribute("missing"));
    EXPECT_EQ(e.getAttributes().size(), 1u); // getters never insert
}

TEST(XElementSetters, FormatsWithoutCutting)
{
    XElement e("e");
    const struct { void (*set)(XElement&); const char* expected; } cases[] = {
        {[](XElement& x) { x.setAttribute("v", -5); }, "-5"},
        {[](XElement& x) { x.setAttribute("v", INT_MIN); }, "-2147483648"},
        {[](XElement& x) { x.setAttribute("v", 4294967296LL); }, "4294967296"},
        {[](XElement& x) { x.setAttribute("v", LLONG_MIN); }, "-9223372036854775808"},
        {[](XElement& x) { x.setAttribute("v", 2.5f); }, "2.500000"},
        {[](XElement& x) { x.setAttribute("v", 0.1f); }, "0.100000"},
        {[](XElement& x) { x.setAttribute("v", 0.0000001); }, "0.000000"},
        {[](XElement& x) { x.setAttribute("v", -0.0000001); }, "-0.000000"},
        {[](XElement& x) { x.setAttribute("v", 1e20); }, "100000000000000000000.000000"},
        {[](XElement& x) { x.setAttribute("v", true); }, "true"},
        {[](XElement& x) { x.setAttribute("v", false); }, "false"},
    };
    for (const auto& c : cases) {
        c.set(e);
        EXPECT_EQ(e.getAttribute("v", std::string()), c.expected);
    }
    e.setAttribute("v", -DBL_MAX);
    EXPECT_EQ(e.getAttribute("v", std::string()).size(), 317u);
    EXPECT_EQ(e.getAttribute("v", 0.0), -DBL_MAX);
    e.setAttribute("v", -FLT_MAX);
    EXPECT_EQ(e.getAttribute("v", 0.0f), -FLT_MAX);
    EXPECT_EQ(e.getAttributes().size(), 1u);
}

TEST(XElementChildren, LookupIsDirectAndSharesTheObjects)
{
    auto root = XElement::fromString("<r><type n='1'><type n='x'/></type><other/><Type/><type n='3'/></r>");
    auto types = root->getElements("type");
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0]->getAttribute("n", 0), 1);
    EXPECT_EQ(types[1]->getAttribute("n", 0), 3);
    EXPECT_EQ(types[0].get(), root->getChildren()[0].get());
    EXPECT_TRUE(root->hasElements("other"));
    EXPECT_FALSE(root->hasElements("none"));
    EXPECT_TRUE(root->getElements("none").empty());
}

TEST(XElementReading, MapsNodesOntoTheTree)
{
    auto root = XElement::fromString("<?xml version=\"1.0\"?><!-- c --><r>one<c/>two<![CDATA[<three>]]></r>");
    EXPECT_EQ(root->getName(), "r");
    EXPECT_EQ(root->getText(), "<three>"); // the last text node wins, CDATA included
    ASSERT_EQ(root->getChildren().size(), 1u);
    EXPECT_EQ(root->toString(), "<?xml version=\"1.0\" ?>\n<r>\n  &lt;three&gt;\n  <c />\n</r>\n");
}

TEST(XElementReading, TextEndsAtTheFirstNul)
{
    auto root = XElement::fromString(std::string("<a/>\0<b>", 8));
    EXPECT_EQ(root->getName(), "a");
    EXPECT_EQ(messageOf(std::string("\0<a/>", 5)), "No root element.");
}

// A "&#0;" reference puts a NUL into TinyXML's string; names, values and
// texts end there, so that what is read can be written and read back alike.
TEST(XElementReading, ValuesEndAtAReferencedNul)
{
    auto root = XElement::fromString("<r a='x&#0;y' b='&#x0;z'>t&#0;u<c>v&#00;w</c></r>");
    EXPECT_EQ(root->getAttributes(), (std::map<std::string, std::string>{{"a", "x"}, {"b", ""}}));
    EXPECT_EQ(root->getText(), "t");
    EXPECT_EQ(root->getChildren().at(0)->getText(), "v");
    const std::string printed = root->toString();
    EXPECT_EQ(XElement::fromString(printed)->toString(), printed);
}

TEST(XElementWriting, LayoutAndAttributeOrder)
{
    auto root = XElement::fromString("<list version='2'><item b='1' a='2'/></list>");
    const std::string listText = "<?xml version=\"1.0\" ?>\n<list version=\"2\">\n  <item a=\"2\" b=\"1\" />\n</list>\n";
    EXPECT_EQ(root->toString(), listText);
    EXPECT_EQ(XElement::fromString(listText)->toString(), listText);

    XElement built("e");
    built.setAttribute("name", "2");
    built.setAttribute("Name", "1");
    built.setAttribute("ab", "&<\"");
    built.setText("a < b");
    EXPECT_EQ(built.toString(), "<?xml version=\"1.0\" ?>\n<e Name=\"1\" ab='&amp;&lt;&quot;' name=\"2\">a &lt; b</e>\n");
}

TEST(XElementFailures, Messages)
{
    const struct { std::string xml; std::string message; } cases[] = {
        {"", "No root element."},
        {"   \n", "No root element."},
        {"<?xml version=\"1.0\"?>", "No root element."},
        {"<!-- only a comment -->", "No root element."},
        {"<r>\n  <a>\n</r>", "Malformed XML at line 3, column 1: Error reading end tag."},
        {"<r a='1' a='2'/>", "Malformed XML at line 1, column 10: Error parsing Element."},
        {"<r>\n<type/>\n<type", "Malformed XML at line 3, column 2: Failed to read Element name"},
        {"<r/><s>", "Malformed XML: Error reading Element value."},
        {"<r/>garbage", "(accepted)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        EXPECT_EQ(messageOf(c.xml), c.message);
    }
}

class XElementFiles : public ::testing::Test {
protected:
    testutil::TempDir scratch;
    const std::string dir = scratch.path;
    std::string write(const std::string& name, const std::string& content)
    {
        std::ofstream(dir + "/" + name) << content;
        return dir + "/" + name;
    }
};

TEST_F(XElementFiles, ReadsAndWrites)
{
    auto root = XElement::fromFile(write("a.xml", "<r x='1'><c/></r>"));
    root->toFile(dir + "/b.xml");
    EXPECT_EQ(XElement::fromFile(dir + "/b.xml")->toString(), root->toString());
}

TEST_F(XElementFiles, FailuresNameTheFile)
{
    const std::string missing = dir + "/.//missing.xml";
    const struct { std::string path; std::string message; } cases[] = {
        {missing, "Can't open file : " + missing},
        {dir, "Can't read file : " + dir + ": it is a directory, not a regular file"},
        {write("bad.xml", "<r>"), "Malformed XML in " + dir + "/bad.xml: Error reading Element value."},
    };
    for (const auto& c : cases) {
        try {
            XElement::fromFile(c.path);
            ADD_FAILURE() << c.path << " was accepted";
        } catch (const xml_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    XElement e("e");
    EXPECT_THROW(e.toFile(dir + "/no/such/dir.xml"), xml_error);
}

TEST_F(XElementFiles, AnEmptyFileHasNoRootElement)
{
    // The text of a text without an element, whatever it was read from:
    // naming the file is left to the caller.
    try {
        XElement::fromFile(write("empty.xml", ""));
        ADD_FAILURE() << "accepted";
    } catch (const xml_error& e) {
        EXPECT_EQ(std::string(e.what()), "No root element.");
    }
}

std::string nested(int depth, const std::string& open, const std::string& close)
{
    std::string s;
    for (int i = 0; i < depth; ++i)
        s += open;
    for (int i = 0; i < depth; ++i)
        s += close;
    return s;
}

TEST(XElementDepth, RefusesDeepDocumentsBeforeParsing)
{
    const std::string tooDeep = "XML elements nested deeper than 256 levels.";
    EXPECT_EQ(messageOf(nested(256, "<a>", "</a>")), "(accepted)");
    EXPECT_EQ(messageOf(nested(257, "<a>", "</a>")), tooDeep);
    EXPECT_EQ(messageOf(nested(100000, "<a>", "")), tooDeep);
    // Flat documents with many elements are not refused.
    std::string flat = "<r>";
    for (int i = 0; i < 5000; ++i)
        flat += "<t a='1'>x</t><!-- c -->";
    EXPECT_EQ(messageOf(flat + "</r>"), "(accepted)");
}

TEST(XElementDepth, SeesEndTagsThatTinyXmlSwallows)
{
    const std::string tooDeep = "XML elements nested deeper than 256 levels.";
    // After a byte-order mark a UTF-8 lead byte takes the '<' of "</a>" with it.
    EXPECT_EQ(messageOf("\xEF\xBB\xBF<r>" + nested(300, "<a>\xC3</a>", "")), tooDeep);
    EXPECT_EQ(messageOf("<?xml version='1.0'?><r>" + nested(300, "<a>\xC3</a>", "")), tooDeep);
    // A numeric reference runs to the next ';', over the markup inside it.
    EXPECT_EQ(messageOf("<r>" + nested(300, "<a>&#x</a>x41;", "")), tooDeep);
    // In a legacy encoding the lead byte is one character and the tags count.
    EXPECT_EQ(messageOf("<?xml encoding='latin1'?><r>" + nested(300, "<a>\xC3</a>", "") + "</r>"), "(accepted)");
}

TEST(XElementDepth, ReadsNoFurtherThanTheText)
{
    // Ends inside a UTF-8 sequence after a declaration.
    const std::string bytes("\x3c\x3f\x78\x6d\x6c\x40\x20\x0a\x3e\x20\x3c\x78\x3e\xdd", 14);
    EXPECT_EQ(messageOf(bytes), "Malformed XML: Error reading Element value.");
    EXPECT_EQ(messageOf("\xEF\xBB\xBF<r>\xF0"), "Malformed XML: Error reading Element value.");
}

} // namespace
