// The device access layer against the stand-in library: what the library
// received (from its journal) and what the layer returned or threw.

#include "qmx4api.h"
#include "qmx4call.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

using namespace qmx4api;
using testutil::readLines;
using testutil::writeFile;

namespace {

const char* const twoDevices = R"(<bus>
  <device name="Loader one" state="2" extra="7" vid="4660" pid="1" serial="S1" derivateInfo="QMX4-L"
          derivateId="3" userId="user" firmware="" maxTransfer="512" firmwareType="1"/>
  <device name="ab&#0;cd" state="3" extra="-2" vid="0x1234" pid="2"/>
</bus>)";

class Layer : public ::testing::Test {
protected:
    testutil::TempDir dir;

    void SetUp() override
    {
        unsetenv("QMX4SIM_BUS");
        setenv("QMX4SIM_JOURNAL", (dir / "journal").c_str(), 1);
        useBus(twoDevices);
    }
    void TearDown() override
    {
        try {
            deInit();
        } catch (const std::exception&) {
        }
        unsetenv("QMX4SIM_JOURNAL");
    }
    void useBus(const std::string& xml)
    {
        writeFile(dir / "qmx4sim.xml", xml);
        try {
            deInit();
        } catch (const std::exception&) {
        }
        initEx(dir.path);
        std::remove((dir / "journal").c_str());
    }
    std::vector<std::string> journal() { return readLines(dir / "journal"); }
    std::string lastCall()
    {
        auto lines = journal();
        return lines.empty() ? std::string() : lines.back();
    }
    Device openFirst() { return enumerate(AnyDevice).at(0).open(); }
};

std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST_F(Layer, EnumerateReportsDevicesInIndexOrder)
{
    auto devices = enumerate(AnyDevice);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(journal().at(0), "KoEnumerate(type=-1, count_in=0) = 0 [count=2]");
    EXPECT_EQ(journal().size(), 3u);
    const DeviceInfo first = devices[0].getInfo();
    EXPECT_EQ(first.getHandle(), -1);
    EXPECT_EQ(first.getName(), "Loader one");
    EXPECT_EQ(first.getState(), 2);
    EXPECT_EQ(first.getExtra(), 7);
    EXPECT_EQ(first.getVid(), 4660);
    EXPECT_EQ(first.getPid(), 1);
    EXPECT_EQ(devices[1].getInfo().getName(), "ab"); // cut at the library's zero byte
    EXPECT_EQ(devices[1].getInfo().getVid(), 0x1234);
    EXPECT_EQ(devices[1].getIndex(), 1);
    EXPECT_EQ(devices[1].getEnumRound(), _enumRound);
}

TEST_F(Layer, EmptyBusMakesNoInfoCalls)
{
    useBus("<bus/>");
    EXPECT_TRUE(enumerate(AnyDevice).empty());
    EXPECT_EQ(journal().size(), 1u);
}

TEST_F(Layer, EveryEnumerationMakesEarlierRecordsStale)
{
    const int before = _enumRound;
    auto first = enumerate(AnyDevice);
    enumerate(AnyDevice);
    auto third = enumerate(AnyDevice);
    EXPECT_EQ(third[0].getEnumRound(), before + 3);
    EXPECT_EQ(messageOf([&] { first[0].open(); }), "Invalid enumeration round.");
}

TEST_F(Layer, AFailedEnumerationStillStartsARound)
{
    useBus(std::string(twoDevices).replace(5, 0, "<fault function='KoEnumerate' occurrence='2' text='bus reset'/>"));
    auto devices = enumerate(AnyDevice);
    EXPECT_EQ(messageOf([] { enumerate(AnyDevice); }), "bus reset");
    const size_t calls = journal().size();
    EXPECT_EQ(messageOf([&] { devices[0].open(); }), "Invalid enumeration round.");
    EXPECT_EQ(journal().size(), calls); // refused without calling the library
}

TEST_F(Layer, AFailingInfoCallDiscardsTheWholeList)
{
    useBus(std::string(twoDevices).replace(5, 0, "<fault function='KoEnumerateInfo' device='1' code='42' text=''/>"));
    EXPECT_EQ(messageOf([] { enumerate(AnyDevice); }), ""); // an empty library text stays empty
}

TEST_F(Layer, OpeningTwiceGivesTwoHandles)
{
    auto devices = enumerate(AnyDevice);
    Device a = devices[0].open();
    Device b = devices[0].open();
    EXPECT_NE(a.getHandle(), b.getHandle());
    EXPECT_EQ(a.getInfo().getHandle(), a.getHandle());
    EXPECT_EQ(a.getInfo().getName(), "Loader one");
    auto lines = journal();
    EXPECT_EQ(lines.at(lines.size() - 2), "KoOpen(index=0, handle_in=-1) = 0 [handle=" + std::to_string(a.getHandle()) + "]");
    EXPECT_EQ(devices[0].getInfo().getHandle(), -1); // the record itself is unchanged
}

TEST_F(Layer, DeviceOperationsPassTheirArguments)
{
    Device d = openFirst();
    const std::string h = "handle=" + std::to_string(d.getHandle());
    writeFile(dir / "image.bin", "fpga");
    std::vector<unsigned char> five(5, 9), empty;
    const struct { std::function<void()> call; std::string line; } cases[] = {
        {[&] { d.writeRegister(16, 3735928559u); }, "KoWriteRegister(" + h + ", address=16, value=3735928559) = 0"},
        {[&] { EXPECT_EQ(d.readRegister(16), 3735928559u); }, "KoReadRegister(" + h + ", address=16) = 0 [value=3735928559]"},
        {[&] { d.writeBlock(8, five, 5); }, "KoWriteBlock(" + h + ", address=8, buffer=set, length=5, mode=5) = 0"},
        {[&] { d.readBlock(8, empty, 6); }, "KoReadBlock(" + h + ", address=8, buffer=null, length=0, mode=6) = 0"},
        {[&] { d.writeBlock(20, five.data(), 2, 1); }, "KoWriteBlock(" + h + ", address=20, buffer=set, length=2, mode=1) = 0"},
        {[&] { d.readBlock(19, five.data(), 4, 2); }, "KoReadBlock(" + h + ", address=19, buffer=set, length=4, mode=2) = 0"},
        {[&] { EXPECT_FALSE(d.waitForInterrupt(250)); }, "KoWaitForInterrupt(" + h + ", timeout=250, flag_in=0) = 0 [flag=0]"},
        {[&] { d.enableInterrupt(); }, "KoEnableInterrupt(" + h + ") = 0"},
        {[&] { EXPECT_TRUE(d.waitForInterrupt(250)); }, "KoWaitForInterrupt(" + h + ", timeout=250, flag_in=0) = 0 [flag=1]"},
        {[&] { d.programFpgaFromBin(dir / "image.bin"); }, "KoProgramFpgaFromBin(" + h + ", path=\"" + dir / "image.bin" + "\") = 0"},
        {[&] { d.programFpgaFromMemory(five.data(), 5); }, "KoProgramFpgaFromMemory(" + h + ", data=set, length=5) = 0"},
        {[&] { d.programFpgaFromMemoryZ(five.data(), 4); }, "KoProgramFpgaFromMemoryZ(" + h + ", data=set, length=4) = 0"},
        {[&] { d.resetFpga(); }, "KoResetFpga(" + h + ") = 0"},
        {[&] { d.setTimeout(4000000000u); }, "KoSetTimeOut(" + h + ", timeout=4000000000) = 0"},
        {[&] { d.enableBurst(true); }, "KoEnableBurst(" + h + ", enable=1) = 0"},
        {[&] { d.enableBurst(false); }, "KoEnableBurst(" + h + ", enable=0) = 0"},
        {[&] { d.__int1(1, -2, 3, -4); }, "KoInt1(" + h + ", a=1, b=-2, c=3, d=-4, data=null, length=0) = 0"},
        {[&] { d.__int1(1, 2, 3, 4, five); }, "KoInt1(" + h + ", a=1, b=2, c=3, d=4, data=set, length=5) = 0"},
        {[&] { d.__int2(-7, 8); }, "KoInt2(" + h + ", a=-7, b=8, data=null, length=0) = 0"},
        {[&] { d.__int2(7, 8, five); }, "KoInt2(" + h + ", a=7, b=8, data=set, length=5) = 0"},
        {[&] { d.close(); }, "KoClose(" + h + ") = 0"},
    };
    for (const auto& c : cases) {
        c.call();
        EXPECT_EQ(lastCall(), c.line);
    }
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(five, (std::vector<unsigned char>{0, 9, 9, 0, 9}));
    // A closed handle goes to the library again, which refuses it.
    EXPECT_EQ(messageOf([&] { d.close(); }), "Handle " + std::to_string(d.getHandle()) + " does not name an open device.");
    EXPECT_EQ(d.getHandle(), d.getInfo().getHandle());
}

TEST_F(Layer, VectorBlocksTransferTheirWholeSizeAndKeepIt)
{
    Device d = openFirst();
    std::vector<unsigned char> read(512, 0xee);
    d.readBlock(98, read, 0);
    EXPECT_EQ(read.size(), 512u);
    EXPECT_EQ(lastCall(), "KoReadBlock(handle=" + std::to_string(d.getHandle()) +
                              ", address=98, buffer=set, length=512, mode=0) = 0");
    // The library's refusal, whatever it is, leaves the vector as it was.
    EXPECT_NE(messageOf([&] { d.readBlock(4000, read, 0); }), "(no exception)");
    EXPECT_EQ(read.size(), 512u);
}

TEST_F(Layer, UnopenedDevicesPassHandleMinusOne)
{
    Device none;
    EXPECT_EQ(none.getHandle(), -1);
    EXPECT_EQ(none.getInfo().getVid(), -1);
    EXPECT_EQ(messageOf([&] { none.__int0(1, "fw.bin"); }), "Handle -1 does not name an open device.");
    EXPECT_EQ(lastCall(), "KoInt0(handle=-1, type=1, path=\"fw.bin\") = 3");
}

TEST_F(Layer, OversizedVectorsAreRefusedBeforeTheCall)
{
    Device d = openFirst();
    // 2 GiB + 1 bytes: more than an int length can describe.
    std::vector<unsigned char> huge(static_cast<size_t>(INT_MAX) + 1);
    const std::string refusal = "Buffer of 2147483648 bytes is larger than the device library accepts.";
    const size_t calls = journal().size();
    EXPECT_EQ(messageOf([&] { d.writeBlock(0, huge, 0); }), refusal);
    EXPECT_EQ(messageOf([&] { d.readBlock(0, huge, 0); }), refusal);
    EXPECT_EQ(messageOf([&] { d.__int1(1, 2, 3, 4, huge); }), refusal);
    EXPECT_EQ(messageOf([&] { d.__int2(1, 2, huge); }), refusal);
    EXPECT_EQ(journal().size(), calls); // not one reached the library
}

TEST_F(Layer, InformationReadersOnAnOpenedDevice)
{
    Device d = openFirst();
    DeviceInfo info = d.getInfo();
    EXPECT_EQ(info.getMaxTransferSize(), 512);
    EXPECT_EQ(lastCall(), "KoGetMaxTransferSize(handle=" + std::to_string(d.getHandle()) + ", size_in=0) = 0 [size=512]");
    EXPECT_EQ(info.getDerivateId(), 3);
    EXPECT_EQ(lastCall(), "KoGetDerivateId(handle=" + std::to_string(d.getHandle()) + ", id_in=0) = 0 [id=3]");
    EXPECT_EQ(info.getSerialNumber(), "S1");
    EXPECT_EQ(info.getDerivateInfo(), "QMX4-L");
    EXPECT_EQ(info.getFirmwareVersion(), ""); // success without text
    EXPECT_EQ(info.getUserId(), "user");

    info.setUserId(std::string("0123456789"));
    EXPECT_EQ(lastCall(), "KoSetUserId(handle=" + std::to_string(d.getHandle()) + ", id_length=10, terminated=yes) = 0");
    EXPECT_EQ(info.getUserId(), "0123456789");
    info.setUserId(std::string(20000, 'u'));
    EXPECT_EQ(lastCall(), "KoSetUserId(handle=" + std::to_string(d.getHandle()) + ", id_length=16384, terminated=no) = 0");
    // The library now holds 16384 bytes and writes them without a terminator;
    // the layer stops at the end of its buffer.
    EXPECT_EQ(info.getUserId(), std::string(16384, 'u'));
    d.close();
}

TEST_F(Layer, InformationReadersWithoutADevice)
{
    const DeviceInfo info = enumerate(AnyDevice)[0].getInfo();
    const size_t calls = journal().size();
    EXPECT_EQ(info.getMaxTransferSize(), -1);
    EXPECT_EQ(info.getDerivateId(), -1);
    EXPECT_EQ(info.getUserId(), "");
    EXPECT_EQ(info.getSerialNumber(), "");
    EXPECT_EQ(info.getFirmwareVersion(), "");
    EXPECT_EQ(info.getDerivateInfo(), "");
    DeviceInfo copy = info;
    EXPECT_EQ(messageOf([&] { copy.setUserId("x"); }), "Device not opened.");
    EXPECT_EQ(journal().size(), calls);
}

TEST_F(Layer, InformationReadersSwallowLibraryErrors)
{
    useBus(std::string(twoDevices).replace(5, 0, "<fault function='KoGetFirmwareVersion' occurrence='0'/>"
                                                 "<fault function='KoGetDerivateId' occurrence='0'/>"
                                                 "<fault function='KoSetUserId' text='read-only'/>"));
    DeviceInfo info = openFirst().getInfo();
    EXPECT_EQ(info.getFirmwareVersion(), "");
    EXPECT_EQ(info.getDerivateId(), -1);
    EXPECT_EQ(messageOf([&] { info.setUserId("x"); }), "read-only");
}

TEST_F(Layer, SessionCallsFollowTheErrorConvention)
{
    EXPECT_EQ(getQmxVersion().rfind("QMX4 device library simulator", 0), 0u);
    setLogLevel(3);
    EXPECT_EQ(lastCall(), "KoSetLogLevel(level=3) = 0");
    deInit();
    const std::string notInitialised = "The library is not initialised: call KoInit or KoInitEx first.";
    EXPECT_EQ(messageOf([] { deInit(); }), notInitialised);
    EXPECT_EQ(messageOf([] { enumerate(AnyDevice); }), notInitialised);
    EXPECT_EQ(messageOf([] { setLogLevel(1); }), notInitialised);
    init();
    EXPECT_EQ(lastCall(), "KoInit() = 0");
}

// The one policy of the download pass and the companion: every session and
// device is closed on every way out, and the first failure is the one
// thrown.
TEST_F(Layer, SessionsAndDevicesAreClosedOnEveryWayOut)
{
    const std::string device = "<device name='D' state='2' vid='1' pid='1'/>";
    const struct { std::string fault; bool throws; std::string calls, message; } cases[] = {
        {"", false, "KoInitEx KoEnumerate KoEnumerateInfo KoOpen KoClose KoDeInit", "(no exception)"},
        {"", true, "KoInitEx KoEnumerate KoEnumerateInfo KoOpen KoClose KoDeInit", "act failed"},
        {"<fault function='KoInitEx' code='7' text='no session'/>", false, "KoInitEx! KoDeInit!", "no session"},
        {"<fault function='KoClose' code='7' text='stuck'/>", false,
         "KoInitEx KoEnumerate KoEnumerateInfo KoOpen KoClose! KoDeInit", "stuck"},
        {"<fault function='KoDeInit' code='7' text='busy'/>", false,
         "KoInitEx KoEnumerate KoEnumerateInfo KoOpen KoClose KoDeInit! KoDeInit", "busy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault + (c.throws ? " and act throws" : ""));
        writeFile(dir / "qmx4sim.xml", "<bus>" + device + c.fault + "</bus>");
        try {
            deInit();
        } catch (const std::exception&) {
        }
        std::remove((dir / "journal").c_str());
        const std::string message = messageOf([&] {
            withSession(dir.path, [&] {
                withDevice(enumerate(AnyDevice).at(0), [&](Device&) {
                    if (c.throws)
                        throw std::runtime_error("act failed");
                });
            });
        });
        EXPECT_EQ(message, c.message);
        std::string calls;
        for (const auto& line : journal())
            calls += (calls.empty() ? "" : " ") + line.substr(0, line.find('(')) +
                     (line.find(") = 0") == std::string::npos ? "!" : "");
        EXPECT_EQ(calls, c.calls);
    }
}

TEST_F(Layer, MissingVersionTextGivesAnEmptyString)
{
    useBus("<bus><fault function='KoGetQmx4VersionString'/></bus>");
    EXPECT_EQ(getQmxVersion(), "");
    EXPECT_NE(getQmxVersion(), ""); // the fault hit the first call only
}

} // namespace
