// The depth guard against the tree TinyXML itself builds, over generated
// documents made of the fragments on which TinyXML's tokeniser is quirky.

#include "tinyxmldepth.h"
#include "xmldepth.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

int parsedDepth(const std::string& text)
{
    return tinyxmldepth::parse(text).depth;
}

int walkDepth(const std::string& text, int limit = 100000)
{
    return xmlNestingDepth(tinyxmldepth::padded(text).c_str(), limit);
}

const std::vector<std::string> fragments = {
    "<a>", "</a>", "<b x='1'>", "</b>", "<c/>", "<d y=\"v\">", "</d>", "<_e>", "</_e>", "<a ", "/>", ">",
    " ", "\n", "text", "&amp;", "&#65;", "&#x", "x41;", "&#", ";", "&", "&lt;", "'", "\"", "=", "/", "</",
    "<", "<!--", "-->", "<![CDATA[", "]]>", "<!DOCTYPE r [<!ENTITY e 'x'>]>", "<!x", "<?pi ", "?>",
    "<?xml version='1.0'?>", "<?xml encoding='latin1'?>", "<?xml encoding=\"UTF-8\"?>", "<?XML ",
    "\xEF\xBB\xBF", "\xC3", "\xE2\x82", "\xF0", "\xFF", "\xEF\xBF\xBE", "<\xC3\xA9>", "</\xC3\xA9>",
    "< a>", "<1>", "<a x=y>", "<a x='&#x<b>x41;'>", "</a >", "</ab>", "<a x='1' x='2'>",
};

TEST(XmlDepth, AgreesWithTinyXmlOnGeneratedDocuments)
{
    std::mt19937 random(20261207);
    int accepted = 0;
    for (int run = 0; run < 20000; ++run) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            text += fragments[random() % fragments.size()];
        const tinyxmldepth::Parsed tinyxml = tinyxmldepth::parse(text);
        const int walked = walkDepth(text);
        // Where TinyXML gives up (a repeated attribute), the guard may count deeper.
        if (tinyxml.accepted) {
            ASSERT_EQ(walked, tinyxml.depth) << "text: " << ::testing::PrintToString(text);
        } else {
            ASSERT_GE(walked, tinyxml.depth) << "text: " << ::testing::PrintToString(text);
        }
        accepted += tinyxml.accepted;
    }
    EXPECT_GT(accepted, 500); // the generator makes documents TinyXML accepts, too
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
        {"<r x='1' x='2'><a><b/></a></r>", 3},              // TinyXML gives up on x, the guard does not
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(walkDepth(c.text), c.depth);
        if (tinyxmldepth::parse(c.text).accepted) {
            EXPECT_EQ(parsedDepth(c.text), c.depth);
        }
    }
}

TEST(XmlDepth, StopsJustPastTheLimit)
{
    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += "<a>";
    EXPECT_EQ(walkDepth(deep, 256), 257);
    EXPECT_EQ(walkDepth(deep.substr(0, 3 * 256), 256), 256);
}

} // namespace
