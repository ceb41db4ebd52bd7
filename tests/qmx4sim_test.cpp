// The stand-in library through its C interface: the bus file, firmware
// download and write-back, refusals and fault injection.

#include "qmx4.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using testutil::readFile;
using testutil::writeFile;

namespace {

class Sim : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::vector<int> handles;

    void SetUp() override
    {
        unsetenv("QMX4SIM_BUS");
        unsetenv("QMX4SIM_JOURNAL");
        writeFile(dir / "fw.bin", "firmware image");
        writeFile(dir / "empty.bin", "");
    }
    void TearDown() override { KoDeInit(); }

    int start(const std::string& devices)
    {
        writeFile(dir / "qmx4sim.xml", "<bus>" + devices + "</bus>");
        KoDeInit();
        int count = -1;
        EXPECT_EQ(KoInitEx(dir.path.c_str()), 0);
        EXPECT_EQ(KoEnumerate(-1, &count), 0);
        return count;
    }
    int open(int index)
    {
        int handle = -1;
        EXPECT_EQ(KoOpen(index, &handle), 0);
        return handle;
    }
    static std::string errorText(int code)
    {
        std::vector<char> text(QMX4_TEXT_SIZE, 0);
        KoGetLastErrorText(code, text.data());
        return text.data();
    }
};

const std::string loader = "<device name='Loader' state='2' vid='4660' pid='1' firmwareType='1'/>";

TEST_F(Sim, DownloadConfiguresTheDeviceAndWritesItBack)
{
    ASSERT_EQ(start(loader), 1);
    const int h = open(0);
    ASSERT_EQ(KoInt0(h, 1, (dir / "fw.bin").c_str()), 0);
    std::vector<char> text(QMX4_TEXT_SIZE, 0);
    ASSERT_EQ(KoGetFirmwareVersion(h, text.data()), 0);
    EXPECT_EQ(std::string(text.data()).rfind("fw.bin (14 bytes, sum ", 0), 0u);

    // A new session reads the bus file again and sees the device configured.
    KoDeInit();
    int count = 0, state = 0, extra = 0, vid = 0, pid = 0;
    ASSERT_EQ(KoInitEx(dir.path.c_str()), 0);
    ASSERT_EQ(KoEnumerate(-1, &count), 0);
    ASSERT_EQ(KoEnumerateInfo(0, text.data(), &state, &extra, &vid, &pid), 0);
    EXPECT_EQ(state, 3);
    EXPECT_NE(readFile(dir / "qmx4sim.xml").find("firmware=\"fw.bin (14 bytes"), std::string::npos);
}

TEST_F(Sim, ADirectoryBusTakesDevicesThatAppearDuringASession)
{
    mkdir((dir / "qmx4sim.d").c_str(), 0755);
    writeFile(dir / "qmx4sim.d/b.xml", "<bus>" + loader + "</bus>");
    writeFile(dir / "qmx4sim.d/a.xml", "<bus><device name='First' state='3'/></bus>");
    writeFile(dir / "qmx4sim.d/a.xml.new", "<bus>not a device file</bus>");
    int count = -1;
    ASSERT_EQ(KoInitEx(dir.path.c_str()), 0);
    ASSERT_EQ(KoEnumerate(-1, &count), 0);
    ASSERT_EQ(count, 2);
    const std::string first = readFile(dir / "qmx4sim.d/a.xml");
    const std::string late = "<bus><device name='Late' vid='4660' pid='1'/></bus>";
    writeFile(dir / "qmx4sim.d/c.xml", late);
    ASSERT_EQ(KoInt0(open(1), 1, (dir / "fw.bin").c_str()), 0);
    EXPECT_EQ(readFile(dir / "qmx4sim.d/a.xml"), first);
    EXPECT_EQ(readFile(dir / "qmx4sim.d/c.xml"), late);
    EXPECT_NE(readFile(dir / "qmx4sim.d/b.xml").find("state=\"3\""), std::string::npos);

    // The next session lists the late device, after the others in name order.
    std::vector<char> text(QMX4_TEXT_SIZE, 0);
    int state = 0, extra = 0, vid = 0, pid = 0;
    KoDeInit();
    ASSERT_EQ(KoInitEx(dir.path.c_str()), 0);
    ASSERT_EQ(KoEnumerate(-1, &count), 0);
    ASSERT_EQ(count, 3);
    ASSERT_EQ(KoEnumerateInfo(2, text.data(), &state, &extra, &vid, &pid), 0);
    EXPECT_STREQ(text.data(), "Late");
}

TEST_F(Sim, DownloadRefusalsNameTheirCause)
{
    start(loader);
    const int h = open(0);
    const struct { int handle; int type; std::string path; std::string text; } cases[] = {
        {h, 1, dir / "missing.bin", "Firmware file not found: " + dir / "missing.bin"},
        {h, 1, dir.path, "Firmware file " + dir.path + ": it is a directory, not a regular file"},
        {h, 1, dir / "empty.bin", "Firmware file is empty: " + dir / "empty.bin"},
        {h, 2, dir / "fw.bin", "Firmware type 2 does not fit Loader, which takes type 1."},
        {-1, 1, dir / "fw.bin", "Handle -1 does not name an open device."},
    };
    std::vector<int> codes;
    for (const auto& c : cases) {
        const int code = KoInt0(c.handle, c.type, c.path.c_str());
        ASSERT_NE(code, 0) << c.text;
        EXPECT_EQ(errorText(code), c.text);
        codes.push_back(code);
    }
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(std::unique(codes.begin(), codes.end()), codes.end()); // each refusal has its own code
    EXPECT_NE(KoInt0(h, 1, nullptr), 0);
}

TEST_F(Sim, HandlesAndIndexesMustBeCurrent)
{
    start(loader);
    const int h = open(0);
    int other = -1;
    EXPECT_EQ(errorText(KoOpen(1, &other)), "Device index 1 is not in the latest enumeration (1 devices).");
    EXPECT_EQ(other, -1);
    EXPECT_EQ(KoClose(h), 0);
    EXPECT_EQ(errorText(KoClose(h)), "Handle " + std::to_string(h) + " does not name an open device.");
    KoDeInit();
    EXPECT_EQ(errorText(KoOpen(0, &other)), "The library is not initialised: call KoInit or KoInitEx first.");
    EXPECT_EQ(errorText(12345), "Unknown error code 12345.");
}

TEST_F(Sim, FaultsHitTheChosenCall)
{
    start(loader + loader +
          "<fault function='KoOpen' device='1' code='501' text='device busy'/>"
          "<fault function='KoReadRegister' occurrence='2' code='502' text='bus error'/>"
          "<fault function='KoWriteRegister' occurrence='0' code='503'/>");
    int h = -1;
    EXPECT_EQ(KoOpen(0, &h), 0);
    int busy = -1;
    EXPECT_EQ(KoOpen(1, &busy), 501);
    EXPECT_EQ(errorText(501), "device busy");
    EXPECT_EQ(KoOpen(1, &busy), 0); // only the first occurrence fails
    unsigned value = 0;
    EXPECT_EQ(KoReadRegister(h, 0, &value), 0);
    EXPECT_EQ(KoReadRegister(h, 0, &value), 502);
    EXPECT_EQ(KoReadRegister(h, 0, &value), 0);
    EXPECT_EQ(KoWriteRegister(h, 0, 1), 503);
    EXPECT_EQ(KoWriteRegister(h, 0, 1), 503);
    EXPECT_EQ(errorText(503), "Injected failure in KoWriteRegister.");
}

TEST_F(Sim, ATransientFaultIsCountedDownAcrossSessions)
{
    start(loader + "<fault function='KoOpen' occurrence='0' code='504' times='2'/>");
    int h = -1;
    EXPECT_EQ(KoOpen(0, &h), 504);
    KoDeInit(); // the next pass: a session of its own
    int count = 0;
    ASSERT_EQ(KoInitEx(dir.path.c_str()), 0);
    ASSERT_EQ(KoEnumerate(-1, &count), 0);
    EXPECT_EQ(KoOpen(0, &h), 504);
    EXPECT_EQ(KoOpen(0, &h), 0);
    EXPECT_NE(testutil::readFile(dir / "qmx4sim.xml").find("times=\"0\""), std::string::npos);
}

TEST_F(Sim, BusFileFromTheEnvironmentAndJournal)
{
    writeFile(dir / "other.xml", "<bus>" + loader + loader + "</bus>");
    setenv("QMX4SIM_BUS", (dir / "other.xml").c_str(), 1);
    setenv("QMX4SIM_JOURNAL", (dir / "journal").c_str(), 1);
    int count = 0;
    EXPECT_EQ(KoInit(), 0);
    EXPECT_EQ(KoEnumerate(-1, &count), 0);
    EXPECT_EQ(count, 2);
    unsetenv("QMX4SIM_BUS");
    unsetenv("QMX4SIM_JOURNAL");
    EXPECT_EQ(readFile(dir / "journal"), "KoInit() = 0\nKoEnumerate(type=-1, count_in=0) = 0 [count=2]\n");
}

TEST_F(Sim, BlocksReadBackWhatWasWrittenWithinTheMemory)
{
    start("<device name='Loader' memory='128'/>");
    const int h = open(0);
    unsigned char written[4] = {1, 2, 3, 4}, read[7] = {};
    ASSERT_EQ(KoWriteBlock(h, 100, written, 4, 0), 0);
    ASSERT_EQ(KoReadBlock(h, 98, read, 7, 0), 0);
    EXPECT_EQ(std::vector<unsigned char>(read, read + 7), (std::vector<unsigned char>{0, 0, 1, 2, 3, 4, 0}));
    EXPECT_EQ(errorText(KoReadBlock(h, 120, read, 9, 0)), "Block of 9 bytes at address 120 lies outside the 128 bytes of Loader.");
}

TEST_F(Sim, MistakesInTheBusFileAreRefused)
{
    const struct { std::string bus, text; } cases[] = {
        {"<bus><device", "Failed to read Element name"},
        {"<bus><devices/></bus>", "unknown element <devices>."},
        {"<bus><device nmae='x'/></bus>", "unknown attribute nmae on <device>."},
        {"<bus><device state='2x'/></bus>", "state \"2x\" on <device> is not a number."},
        {"<bus><fault function='KoIint0'/></bus>", "<fault> names no function that can fail: \"KoIint0\"."},
        {"<bus><fault function='KoGetLastErrorText'/></bus>",
         "<fault> names no function that can fail: \"KoGetLastErrorText\"."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bus);
        writeFile(dir / "qmx4sim.xml", c.bus);
        KoDeInit();
        EXPECT_EQ(errorText(KoInitEx(dir.path.c_str())), "Bus file " + dir.path + "/qmx4sim.xml: " + c.text);
    }
}

TEST_F(Sim, NoBusFileMeansNoDevices)
{
    KoDeInit();
    int count = -1;
    EXPECT_EQ(KoInitEx((dir / "nowhere").c_str()), 0);
    EXPECT_EQ(KoEnumerate(-1, &count), 0);
    EXPECT_EQ(count, 0);
}

} // namespace
