// The companion's explanations of service.xml: why the downloader refuses
// an entry, and each thing it reads differently from what the file seems
// to say; and its JSON strings.

#include "explain.h"
#include "json.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace fwctl;

class Explain : public ::testing::Test {
protected:
    testutil::TempDir base;

    explain::Configuration examine(const std::string& xml)
    {
        mkdir((base / "data").c_str(), 0755);
        testutil::writeFile(base / "data/service.xml", xml);
        return explain::examine(base.path);
    }
};

const std::string good = "name='L' fw='l.bin' type='1' vid='4660' pid='1'";

TEST_F(Explain, InvalidEntriesSayWhichAttributeAndWhy)
{
    const struct { std::string attributes, fault; } cases[] = {
        {"name='' fw='l.bin' type='1' vid='4660' pid='1'", "name is empty"},
        {"name='L' type='1' vid='4660' pid='1'", "fw is missing: it names the firmware file in data/"},
        {"name='L' fw='' type='1' vid='4660' pid='1'", "fw is empty"},
        {"name='L' fw='l.bin' vid='4660' pid='1'", "type is missing"},
        {"name='L' fw='l.bin' type='-1' vid='4660' pid='1'", "type -1 is not a device type number"},
        {"name='L' fw='l.bin' type='one' vid='4660' pid='1'", "type \"one\" is not a decimal number"},
        {"name='L' fw='l.bin' type='1' vid='0x1234' pid='1'", "vid \"0x1234\" is not a decimal number; write 4660"},
        {"name='L' fw='l.bin' type='1' vid='0' pid='1'", "vid 0 is not a USB vendor id"},
        {"name='L' fw='l.bin' type='1' vid=' ' pid='1'", "vid is empty"},
        {"name='L' fw='l.bin' type='1' vid='4660' pid='99999999999'", "pid \"99999999999\" is out of range"},
        {"name='L' fw='l.bin' type='1' vid='4660'", "pid is missing"},
        {good + " sha256=''", "sha256 is \"\", not 64 hexadecimal digits: sha256sum data/l.bin gives them"},
        {good + " sha256='" + std::string(63, 'a') + "g'",
         "sha256 is \"" + std::string(63, 'a') + "g\", not 64 hexadecimal digits: sha256sum data/l.bin gives them"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        const explain::Configuration conf = examine("<s><type " + good + "/><type " + c.attributes + "/></s>");
        ASSERT_EQ(conf.entries.size(), 2u);
        EXPECT_TRUE(conf.entries[0].faults.empty());
        EXPECT_EQ(conf.entries[1].faults, std::vector<std::string>{c.fault});
        EXPECT_EQ(conf.refused, base / "data/service.xml: Invalid device entry #1");
        EXPECT_TRUE(conf.warnings.empty()) << conf.warnings[0];
    }
}

TEST_F(Explain, WhatTheProgramReadsDifferentlyIsWarnedOf)
{
    const struct { std::string xml, warning; } cases[] = {
        {"<s><Type " + good + "/></s>", "<Type> is not read: device types are <type> elements (did you mean <type>?)"},
        {"<s><tpye " + good + "/></s>", "<tpye> is not read: device types are <type> elements (did you mean <type>?)"},
        {"<s><group><type " + good + "/></group></s>",
         "<group> is not read: device types are <type> elements"},
        {"<s><type " + good + "><type name='Inner'/></type></s>",
         "<type><type> (Inner) is not read: device types go directly under the root"},
        {"<s loging='true'/>", "the root element: attribute \"loging\" is not read (did you mean \"logging\"?)"},
        {"<s><type " + good + " fm='x'/></s>", "entry #0 (L): attribute \"fm\" is not read (did you mean \"fw\"?)"},
        {"<s><type " + good + " vendor='x'/></s>", "entry #0 (L): attribute \"vendor\" is not read"},
        {"<s append='yes'/>", "append=\"yes\" is not true, True, false or False, so the default, false, applies: "
                              "every pass deletes the log of the passes before"},
        {"<s logging='0'/>", "logging=\"0\" is not true, True, false or False, so the default, true, applies: "
                             "the log is written"},
        {"<s><type name='L' fw='l.bin' type='1' vid='4660abc' pid='1'/></s>", "entry #0 (L): vid \"4660abc\" is read as 4660"},
        {"<s><type name='L' fw='l.bin' type='0x10' vid='4660' pid='1'/></s>",
         "entry #0 (L): type \"0x10\" is read as 0: numbers are decimal; write 16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        const explain::Configuration conf = examine(c.xml);
        EXPECT_EQ(conf.refused, "");
        ASSERT_FALSE(conf.warnings.empty());
        EXPECT_EQ(conf.warnings.front(), c.warning);
    }
    // The nested element under an ignored one is named too.
    EXPECT_EQ(examine("<s><group><type " + good + "/></group></s>").warnings.at(1),
              "<group><type> (L) is not read: device types go directly under the root");
    EXPECT_TRUE(examine("<s logging='False' append='True'><type " + good + "/></s>").warnings.empty());
}

TEST_F(Explain, AFileThatCannotBeReadIsRefusedAsTheDownloaderRefusesIt)
{
    const explain::Configuration broken = examine("<s><type");
    EXPECT_FALSE(broken.readable);
    EXPECT_EQ(broken.refused.rfind("Malformed XML in " + base / "data/service.xml", 0), 0u);
    EXPECT_TRUE(broken.entries.empty());
}

TEST(Json, TextIsEscapedAndValidUtf8)
{
    const struct { std::string in, out; } cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {std::string("t\tn\n\x01\x1f\x7f", 7), "\"t\\u0009n\\u000a\\u0001\\u001f\\u007f\""},
        {"\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""},
        {"a\xFF" "b\xC3", "\"a\\ufffdb\\ufffd\""},           // a stray byte, a cut sequence
        {"\xC0\xAF\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""}, // overlong, surrogate
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json::text(c.in), c.out) << ::testing::PrintToString(c.in);
}

} // namespace
