// The depth walk against the tree TinyXML itself builds, over generated
// documents made of the fragments on which TinyXML's tokeniser is quirky.

#include "tinyxmldepth.h"
#include "xmldepth.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using tinyxmldepth::parsedDepth;

int walkDepth(const std::string& text)
{
    return xmlWalkDepth(text.data(), text.size(), 100000);
}

const std::vector<std::string> fragments = {
    "<a>", "</a>", "<b x='1'>", "</b>", "<c/>", "<d y=\"v\">", "</d>", "<_e>", "</_e>", "<a ", "/>", ">",
    " ", "\n", "text", "&amp;", "&#65;", "&#x", "x41;", "&#", ";", "&", "&lt;", "'", "\"", "=", "/", "</",
    "<", "<!--", "-->", "<![CDATA[", "]]>", "<!DOCTYPE r [<!ENTITY e 'x'>]>", "<!x", "<?pi ", "?>",
    "<?xml version='1.0'?>", "<?xml encoding='latin1'?>", "<?xml encoding=\"UTF-8\"?>", "<?XML ",
    "\xEF\xBB\xBF", "\xC3", "\xE2\x82", "\xF0", "\xFF", "\xEF\xBF\xBE", "<\xC3\xA9>", "</\xC3\xA9>",
    "< a>", "<1>", "<a x=y>", "<a x='&#x<b>x41;'>", "</a >", "</ab>",
};

TEST(XmlDepth, NeverBelowTinyXmlOnGeneratedDocuments)
{
    std::mt19937 random(20261207);
    int equal = 0;
    const int runs = 20000;
    for (int run = 0; run < runs; ++run) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            text += fragments[random() % fragments.size()];
        const int expected = parsedDepth(text);
        const int walked = walkDepth(text);
        ASSERT_GE(walked, expected) << "text: " << ::testing::PrintToString(text);
        equal += walked == expected;
    }
    // Documents with a repeated attribute may be counted deeper; nothing else.
    EXPECT_EQ(equal, runs);
}

TEST(XmlDepth, ExactOnKnownQuirks)
{
    const struct { std::string text; int depth; } cases[] = {
        {"<a><b><c/></b></a>", 3},
        {"<a/><b><c/></b>", 2},
        {"<r><?pi <a>?><b/></r>", 2},                      // a processing instruction ends at the first '>'
        {"<!DOCTYPE r [<!ENTITY e '<x>'>]><r/>", 0},        // so does a DOCTYPE: the rest is junk
        {"<r><\xEF\xBB\xBF<x/></r>", 2},                   // a start tag whose name fails still counts
        {"<r>&#x<a/>x41;<b/></r>", 2},                      // the reference swallows <a/>
        {"\xEF\xBB\xBF<r>\xC3</r><a/>", 2},                 // the lead byte swallows '<': </r> is text
        {"<r>\xC3</r><a/>", 1},                             // without a BOM it does not
        {"<r x='\xC3'/><s><t/></s>", 2},
        {"<r><![CDATA[<a><b>]]><c/></r>", 2},
        {"<r><!-- <a><b> --><c/></r>", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(parsedDepth(c.text), c.depth);
        EXPECT_EQ(walkDepth(c.text), c.depth);
    }
}

TEST(XmlDepth, StopsJustPastTheLimit)
{
    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += "<a>";
    EXPECT_EQ(xmlNestingDepth(deep.data(), deep.size(), 256), 257);
    EXPECT_EQ(xmlNestingDepth("<a><b/></a>", 11, 256), 3); // few '<': their count, not walked
}

} // namespace
