// End to end: the built qmx4-fwload runs in a fresh base directory against
// the stand-in library; its log, output, exit status and the library's
// journal are checked.

#include "programrun.h"
#include "refusals.h"

namespace {

using namespace programrun;

TEST_F(Program, TypicalRun)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    const Outcome r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.log, (Lines{startLine, "Unconfigured device found: Loader"}));
    EXPECT_EQ(r.journal, (Lines{
                             "KoInitEx(path=\"./\") = 0",
                             "KoEnumerate(type=-1, count_in=0) = 0 [count=1]",
                             "KoEnumerateInfo(index=0) = 0 [name=\"Q\", state=2, vid=4660, pid=1]",
                             "KoOpen(index=0, handle_in=-1) = 0 [handle=1]",
                             "KoInt0(handle=1, type=1, path=\".//data/loader.bin\") = 0",
                             "KoClose(handle=1) = 0",
                             "KoDeInit() = 0",
                         }));
}

TEST_F(Program, EventsGoOnlyToARegularFileOpenForWriting)
{
    service("<service>" + loaderEntry + "</service>");
    // Standard output, a number naming nothing, a pipe: none is a channel.
    for (const char* fd : {"1", "99", "9 9<>/dev/null", "8 8</dev/null"}) {
        SCOPED_TRACE(fd);
        bus(loaderDevice);
        const Outcome r = run(std::string("QMX4_FWLOAD_EVENTS_FD=") + fd);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
    }
    bus(loaderDevice);
    EXPECT_EQ(run("QMX4_FWLOAD_EVENTS_FD=7 7>>'" + scratch / "events" + "'").status, 0);
    // The device, its type and the file as handed over: its size and
    // SHA-256 (sha256sum's).
    EXPECT_EQ(readFile(scratch / "events"),
              "downloaded 0\tentry=0\ttype=Loader\tfile=.//data/loader.bin\tdevice=Q\tvid=4660\tpid=1\tsize=8\t"
              "sha256=c3bf47ea1f4a4a605470313cacb3a44f4a461f68c6faeab07e737610cb5ac835\n");
}

TEST_F(Program, ThreeDeviceTrace)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice + "<device state='2' vid='4660' pid='2'/><device state='0' vid='4660' pid='1'/>");
    const Outcome r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(calls(r), "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoEnumerateInfo=0 KoEnumerateInfo=0 "
                        "KoOpen=0 KoInt0=0 KoClose=0 KoDeInit=0");
    EXPECT_EQ(r.log, (Lines{startLine, "Unconfigured device found: Loader"}));
}

TEST_F(Program, PassesWithNothingToDo)
{
    const struct { std::string service, bus, calls; } cases[] = {
        {"<service>" + loaderEntry + "</service>", "", "KoInitEx=0 KoEnumerate=0 KoDeInit=0"},
        {"<service/>", loaderDevice, "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoDeInit=0"},
    };
    for (const auto& c : cases) {
        service(c.service);
        bus(c.bus);
        const Outcome r = run();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(calls(r), c.calls);
        EXPECT_EQ(r.log, Lines{startLine});
    }
}

TEST_F(Program, FirstMatchingEntryWinsAndEveryDeviceIsServed)
{
    writeFile(base / "data/second.bin", "other");
    service("<service>" + loaderEntry +
            "<type name='Second' fw='second.bin' type='2' vid='4660' pid='1'/>"
            "<type name='Other' fw='second.bin' type='2' vid='4660' pid='2'/></service>");
    bus(loaderDevice + loaderDevice + "<device state='2' vid='4660' pid='2' firmwareType='2'/>");
    const Outcome r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.log, (Lines{startLine, "Unconfigured device found: Loader", "Unconfigured device found: Loader",
                            "Unconfigured device found: Other"}));
    EXPECT_EQ(r.journal.at(6), "KoInt0(handle=1, type=1, path=\".//data/loader.bin\") = 0");
    EXPECT_EQ(r.journal.at(9), "KoInt0(handle=2, type=1, path=\".//data/loader.bin\") = 0");
    EXPECT_EQ(r.journal.at(12), "KoInt0(handle=3, type=2, path=\".//data/second.bin\") = 0");
}

TEST_F(Program, EveryFailureEndsThePassAndClosesTheSession)
{
    const std::string prefix = "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoEnumerateInfo=0";
    const struct { std::string faults, calls, text; } cases[] = {
        {"<fault function='KoInitEx' code='7' text='no USB access'/>", "KoInitEx=7 KoDeInit=1", "no USB access"},
        {"<fault function='KoEnumerate' code='7' text='bus reset'/>", "KoInitEx=0 KoEnumerate=7 KoDeInit=0", "bus reset"},
        {"<fault function='KoEnumerateInfo' device='1' code='7' text='gone'/>",
         "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoEnumerateInfo=7 KoDeInit=0", "gone"},
        // A device that does not open is not asked for anything else.
        {"<fault function='KoOpen' code='7' text='device busy'/>", prefix + " KoOpen=7 KoDeInit=0", "device busy"},
        {"<fault function='KoInt0' code='7' text='checksum error'/>",
         prefix + " KoOpen=0 KoInt0=7 KoClose=0 KoDeInit=0", "checksum error"},
        {"<fault function='KoInt0' code='7'/><fault function='KoClose' code='8' text='stuck'/>",
         prefix + " KoOpen=0 KoInt0=7 KoClose=8 KoDeInit=0", "stuck"},
        {"<fault function='KoClose' code='8' text='stuck'/>", prefix + " KoOpen=0 KoInt0=0 KoClose=8 KoDeInit=0",
         "stuck"},
        {"<fault function='KoDeInit' code='9' text='cannot release'/>",
         prefix + " KoOpen=0 KoInt0=0 KoClose=0 KoOpen=0 KoInt0=0 KoClose=0 KoDeInit=9 KoDeInit=0", "cannot release"},
        // A failing close of the session does not hide why the pass ended.
        {"<fault function='KoInt0' code='7' text='checksum error'/><fault function='KoDeInit' occurrence='0' code='9'/>",
         prefix + " KoOpen=0 KoInt0=7 KoClose=0 KoDeInit=9", "checksum error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        service("<service>" + loaderEntry + "</service>");
        bus(loaderDevice + loaderDevice + c.faults);
        const Outcome r = run();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.text + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(calls(r), c.calls);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back(), c.text);
    }
}

TEST_F(Program, AFailureAtTheFirstDeviceSkipsTheRest)
{
    service("<service><type name='Loader' fw='missing.bin' type='1' vid='4660' pid='1'/></service>");
    bus(loaderDevice + loaderDevice);
    const Outcome r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Firmware file not found: .//data/missing.bin\n");
    EXPECT_EQ(r.log, (Lines{startLine, "Unconfigured device found: Loader", "Firmware file not found: .//data/missing.bin"}));
    EXPECT_EQ(calls(r), "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoEnumerateInfo=0 KoOpen=0 KoInt0=5 KoClose=0 KoDeInit=0");
}

TEST_F(Program, APinnedTypeGetsOnlyTheFileItPins)
{
    const std::string sum = "c3bf47ea1f4a4a605470313cacb3a44f4a461f68c6faeab07e737610cb5ac835"; // "firmware"
    const std::string listed = "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoOpen=0 ";
    const struct { std::string pin, out, calls; } cases[] = {
        {sum, "", listed + "KoInt0=0 KoClose=0 KoDeInit=0"},
        {"C3BF47EA1F4A4A605470313CACB3A44F4A461F68C6FAEAB07E737610CB5AC835", "", listed + "KoInt0=0 KoClose=0 KoDeInit=0"},
        {std::string(64, 'a'),
         "Firmware file .//data/loader.bin does not match its sha256: expected " + std::string(64, 'a') + ", found " +
             sum + "\n",
         listed + "KoClose=0 KoDeInit=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pin);
        service("<service><type name='Loader' fw='loader.bin' type='1' vid='4660' pid='1' sha256='" + c.pin +
                "'/></service>");
        bus(loaderDevice);
        const Outcome r = run();
        EXPECT_EQ(r.status, c.out.empty() ? 0 : 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(calls(r), c.calls);
    }
}

TEST_F(Program, LoggingOffWritesNoLogButStillReports)
{
    writeFile(base / "service.log", "old\n");
    service("<service logging='false'><type name='L' fw='missing.bin' type='1' vid='4660' pid='1'/></service>");
    bus(loaderDevice);
    const Outcome r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.logExists);
    EXPECT_EQ(r.out, "Firmware file not found: .//data/missing.bin\n");
}

TEST_F(Program, AppendKeepsEarlierRuns)
{
    service("<service append='true'>" + loaderEntry + "</service>");
    bus(loaderDevice);
    EXPECT_EQ(run().status, 0);
    const Outcome second = run(); // the device is configured now
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.log, (Lines{startLine, "Unconfigured device found: Loader", startLine}));
}

TEST_F(Program, ArgumentsAreAnsweredWithoutAPass)
{
    writeFile(base / "service.log", "old\n");
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    const struct { std::string args; int status; std::string out, err; } cases[] = {
        {"--help", 0, "usage: qmx4-fwload [--help | --version]\n", ""},
        {"--version", 0, "qmx4-fwload 1.1\n", ""},
        {"-h", 2, "", "qmx4-fwload: unexpected argument: -h\nusage: qmx4-fwload [--help | --version]\n"},
        {"./", 2, "", "qmx4-fwload: unexpected argument: ./\nusage: qmx4-fwload [--help | --version]\n"},
        {"--help --version", 2, "", "qmx4-fwload: unexpected arguments\nusage: qmx4-fwload [--help | --version]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = runCommand("'" QMX4_FWLOAD "' " + c.args);
        EXPECT_EQ(r.status, c.status);
        // The usage's first line, then a description; the streams as given.
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(c.status == 0 ? r.err : r.out, "");
        EXPECT_EQ(r.log, Lines{"old"});
        EXPECT_TRUE(r.journal.empty()) << "the library was called";
    }
}

TEST_F(Program, AFailedConfigurationTouchesNoDevice)
{
    const std::string file = ".//data/service.xml";
    for (const auto& r : refusals::all(file)) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(refused(r.xml, refusals::printed(r, file)).log, r.log);
    }
    std::remove((base / "data/service.xml").c_str());
    const Outcome missing = run();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Can't open file : .//data/service.xml\n");
    EXPECT_TRUE(missing.journal.empty());
}

} // namespace
