// The service's configuration and log, and the download pass in-process
// against the stand-in library.

#include "refusals.h"
#include "servicelib.h"
#include "testutil.h"
#include "xelement.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testutil::readFile;
using testutil::readLines;
using testutil::writeFile;

namespace {

class Service : public ::testing::Test {
protected:
    testutil::TempDir base;

    void SetUp() override
    {
        mkdir((base / "data").c_str(), 0755);
        unsetenv("QMX4SIM_BUS");
        unsetenv("QMX4SIM_JOURNAL");
    }
    void configure(const std::string& xml) { writeFile(base / "data/service.xml", xml); }
    std::string initError(const std::string& xml)
    {
        configure(xml);
        try {
            servicelib::init(base.path);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(ok)";
    }
    bool logExists() { return access(servicelib::getLogFileName().c_str(), F_OK) == 0; }
};

TEST_F(Service, EntriesAreReadWithTheirDefaults)
{
    ASSERT_EQ(initError("<s><type name='A' fw='a.bin' type='0' vid='4660' pid='1' extra='x'/>"
                        "<type fw='b.bin' type='2' vid='-5' pid='70000'><type name='nested'/></type>"
                        "<Type name='ignored'/><other><type name='deeper'/></other>"
                        "<type name='A' fw='a.bin' type='12abc' vid=' 4660' pid='1'/></s>"),
              "(ok)");
    const auto& entries = servicelib::getDeviceEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "A");
    EXPECT_EQ(entries[0].type, 0);
    EXPECT_EQ(entries[1].name, "Unknown");
    EXPECT_EQ(entries[1].vid, -5);
    EXPECT_EQ(entries[1].pid, 70000);
    EXPECT_EQ(entries[2].type, 12);
    EXPECT_EQ(entries[2].vid, 4660);
}

TEST_F(Service, InvalidEntriesAreNumberedFromZero)
{
    const std::string good = "<type name='A' fw='a.bin' type='1' vid='1' pid='1'/>";
    const struct { std::string bad; } cases[] = {
        {"<type name='' fw='a.bin' type='1' vid='1' pid='1'/>"},
        {"<type name='A' type='1' vid='1' pid='1'/>"},
        {"<type name='A' fw='a.bin' vid='1' pid='1'/>"},
        {"<type name='A' fw='a.bin' type='-1' vid='1' pid='1'/>"},
        {"<type name='A' fw='a.bin' type='x' vid='1' pid='1'/>"},
        {"<type name='A' fw='a.bin' type='1' vid='0x1234' pid='1'/>"},
        {"<type name='A' fw='a.bin' type='1' vid='1' pid='99999999999'/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bad);
        EXPECT_EQ(initError("<s>" + good + good + c.bad + good + "</s>"), "Invalid device entry #2");
        EXPECT_EQ(servicelib::getDeviceEntries().size(), 2u); // the entries before it stay
    }
}

TEST_F(Service, LogSwitches)
{
    const struct { const char* attributes; bool logs; bool keepsOldLog; } cases[] = {
        {"", true, false},
        {"logging='false'", false, false},
        {"logging='False' append='True'", false, true},
        {"logging='FALSE'", true, false},
        {"logging='0' append='1'", true, false},
        {"append='true'", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        writeFile(base / "service.log", "old\n");
        ASSERT_EQ(initError(std::string("<s ") + c.attributes + "/>"), "(ok)");
        EXPECT_EQ(logExists(), c.keepsOldLog);
        servicelib::log("line");
        const std::string expected = std::string(c.keepsOldLog ? "old\n" : "") + (c.logs ? "line\n" : "");
        EXPECT_EQ(logExists() ? readFile(base / "service.log") : std::string(), expected);
    }
    servicelib::log("");
    EXPECT_EQ(readFile(base / "service.log"), "old\nline\n\n"); // an empty message is an empty line
}

TEST_F(Service, RefusedConfigurations)
{
    for (const auto& r : refusals::all(base / "data/service.xml")) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(initError(r.xml), r.text);
    }
    std::remove((base / "data/service.xml").c_str());
    try {
        servicelib::init(base.path);
        ADD_FAILURE();
    } catch (const xml_error& e) {
        EXPECT_EQ(std::string(e.what()), "Can't open file : " + base.path + "/data/service.xml");
    }
    EXPECT_TRUE(servicelib::getDeviceEntries().empty());
}

TEST_F(Service, LogPathsAndTheServiceName)
{
    // With the base directory "./", as the program has it, paths stay
    // relative and are joined as they are: the prefix "sub" deletes
    // "sub.//service.log", that is sub./service.log.
    char previous[4096];
    ASSERT_TRUE(getcwd(previous, sizeof previous));
    ASSERT_EQ(chdir(base.path.c_str()), 0);
    writeFile("data/service.xml", "<s/>");
    servicelib::init("./");
    EXPECT_EQ(servicelib::getLogFileName(), ".//service.log");
    mkdir("sub.", 0755);
    writeFile("sub./service.log", "");
    writeFile("service.log", "");
    servicelib::delLogFile("sub");
    EXPECT_NE(access("sub./service.log", F_OK), 0);
    EXPECT_EQ(access("service.log", F_OK), 0);
    servicelib::delLogFile("");
    EXPECT_NE(access("service.log", F_OK), 0);
    ASSERT_EQ(chdir(previous), 0);

    writeFile(base / "data/config.xml", "<config name='My service'/>");
    EXPECT_EQ(servicelib::getSvcName(base.path), "My service");
    writeFile(base / "data/config.xml", "<config/>");
    EXPECT_EQ(servicelib::getSvcName(base.path), "Norvel QMX4 Usb Device Service");
    EXPECT_THROW(servicelib::getSvcName(base / "nowhere"), xml_error);
}

TEST_F(Service, LogIntoAMissingDirectoryIsDropped)
{
    mkdir((base / "gone").c_str(), 0755);
    mkdir((base / "gone/data").c_str(), 0755);
    writeFile(base / "gone/data/service.xml", "<s/>");
    servicelib::init(base / "gone");
    std::system(("rm -rf '" + base / "gone" + "'").c_str());
    servicelib::log("nowhere to go"); // returns, and creates nothing
    EXPECT_NE(access((base / "gone").c_str(), F_OK), 0);
    // The next line, once the directory is back, starts the log afresh.
    mkdir((base / "gone").c_str(), 0755);
    servicelib::log("back");
    EXPECT_EQ(readFile(base / "gone/service.log"), "back\n");
}

TEST_F(Service, DownloadPassMatchesStateVidAndPid)
{
    configure("<s><type name='L' fw='fw.bin' type='1' vid='4660' pid='1'/></s>");
    writeFile(base / "data/fw.bin", "image");
    writeFile(base / "qmx4sim.xml",
              "<bus><device state='2' vid='4660' pid='1'/><device state='2' vid='4660' pid='2'/>"
              "<device state='0' vid='4660' pid='1'/><device state='2' vid='4661' pid='1'/></bus>");
    setenv("QMX4SIM_JOURNAL", (base / "journal").c_str(), 1);
    servicelib::init(base.path);
    servicelib::download();
    unsetenv("QMX4SIM_JOURNAL");
    EXPECT_EQ(readLines(base / "service.log"), std::vector<std::string>{"Unconfigured device found: L"});
    const std::string journal = readFile(base / "journal");
    EXPECT_NE(journal.find("KoInt0(handle=1, type=1, path=\"" + base.path + "/data/fw.bin\") = 0"), std::string::npos);
    EXPECT_EQ(journal.find("KoOpen(index=1"), std::string::npos);
    EXPECT_EQ(journal.find("KoOpen(index=2"), std::string::npos);
    EXPECT_EQ(journal.find("KoOpen(index=3"), std::string::npos);
}

} // namespace
