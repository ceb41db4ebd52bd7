// End to end with hostile input: awkward files and paths, a huge
// configuration, and a device library that fails at every call in turn.
// Broken configurations are the refusals every reader shares
// (refusals.h, qmx4fwload_test).

#include "programrun.h"

#include <map>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

using namespace programrun;

// Leaves a UNIX socket at `path`, as a server that is gone would.
void bindSocket(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

// Every file a program reads or writes, replaced by one that would make it
// wait or read without end: each is refused (or, for the log, skipped) at
// once, naming what it is. A case that does not end within its limit hangs.
TEST_F(Program, FilesThatAreNotRegularFilesNeverMakeAProgramWait)
{
    const struct { const char* kind; const char* make; } kinds[] = {
        {"a FIFO", "mkfifo @"},
        {"a character device", "ln -s /dev/zero @"},
        {"a socket", ""}, // bound below
        {"a directory", "mkdir @"},
    };
    // Where the file stands, the command run, and what must come of it:
    // the exit status, and whether the output names the kind of file.
    const struct { const char* file; std::string command; int status; bool named; } places[] = {
        {"data/service.xml", "'" QMX4_FWLOAD "'", 1, true},
        {"data/service.xml", "'" QMX4_FWCTL "' check .", 1, true},
        {"service.log", "'" QMX4_FWLOAD "'", 0, false},
        {"data/loader.bin", "'" QMX4_FWLOAD "'", 1, true},
        {"data/loader.bin", "'" QMX4_FWCTL "' check .", 1, true},
        {"qmx4sim.xml", "'" QMX4_FWLOAD "'", 1, true},
        {"metrics.prom", "'" QMX4_FWCTL "' metrics --no-lock --output metrics.prom .", 1, true},
    };
    for (const auto& place : places) {
        for (const auto& kind : kinds) {
            // A directory is a bus of its own (a file per device).
            if (std::string(place.file) == "qmx4sim.xml" && std::string(kind.kind) == "a directory")
                continue;
            SCOPED_TRACE(std::string(place.file) + " as " + kind.kind + ": " + place.command);
            service("<service append='true'>" + loaderEntry + "</service>");
            bus(loaderDevice);
            writeFile(base / "data/loader.bin", "firmware");
            std::string make = kind.make;
            if (!make.empty())
                make.replace(make.find('@'), 1, base / place.file);
            ASSERT_EQ(std::system(("rm -rf '" + base / place.file + "' && " + (make.empty() ? "true" : make)).c_str()), 0);
            if (make.empty())
                bindSocket(base / place.file);
            const Outcome r = runCommand(place.command, "timeout 60");
            EXPECT_NE(r.status, 124) << "hung";
            EXPECT_EQ(r.status, place.status) << r.out << r.err;
            if (place.named) {
                EXPECT_NE((r.out + r.err).find(kind.kind), std::string::npos) << r.out << r.err;
            }
            std::system(("rm -rf '" + base / place.file + "'").c_str());
        }
    }
}

TEST_F(Program, ByteOrderMarkIsAccepted)
{
    service("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    const Outcome r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.log, (Lines{startLine, "Unconfigured device found: Loader"}));
}

TEST_F(Program, ManyEntriesTheLastOneServing)
{
    // More elements than the depth guard lets pass unwalked (256), so the
    // whole way of a large configuration is taken; the matching entry is
    // the last.
    std::string xml = "<?xml version=\"1.0\" ?>\n<service>\n";
    char line[160];
    for (int i = 0; i < 1000; ++i) {
        std::snprintf(line, sizeof line,
                      "  <type name=\"QMX4 device type %07d\" fw=\"firmware-%07d.bin\" type=\"1\" vid=\"%d\" pid=\"%d\" />\n",
                      i, i, 4660 + i % 7, 2 + i);
        xml += line;
    }
    service(xml + loaderEntry + "</service>\n");
    bus(loaderDevice);
    const Outcome r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.log, (Lines{startLine, "Unconfigured device found: Loader"}));
}

TEST_F(Program, AnUnwritableLogDoesNotChangeTheOutcome)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    mkdir((base / "service.log").c_str(), 0755);
    const Outcome r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(calls(r), "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoOpen=0 KoInt0=0 KoClose=0 KoDeInit=0");
}

TEST_F(Program, AReadOnlyBaseDirectory)
{
    service("<service>" + loaderEntry + "</service>");
    writeFile(scratch / "bus.xml", "<bus>" + loaderDevice + "</bus>");
    // Root ignores file modes, so the program then runs as nobody, from a
    // copy in the scratch directory (the build tree may lie where nobody
    // cannot enter, as under /root), with the device library beside it.
    std::string asUser, program = "'" QMX4_FWLOAD "'";
    if (geteuid() == 0) {
        asUser = "LD_LIBRARY_PATH='" + scratch.path + "' setpriv --reuid=65534 --regid=65534 --clear-groups";
        program = "'" + scratch / "qmx4-fwload" + "'";
        const std::string copy =
            "cp '" QMX4_FWLOAD "' '" QMX4_LIBRARY_DIR "/libqmx4-1.5.1.so' '" + scratch.path + "'";
        ASSERT_EQ(std::system(copy.c_str()), 0);
    }
    chmod(base.path.c_str(), 0555);
    chmod(scratch.path.c_str(), 0777);
    const Outcome r = runCommand(program, "QMX4SIM_BUS='" + scratch / "bus.xml" + "' " + asUser);
    chmod(base.path.c_str(), 0755);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(r.logExists);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(calls(r), "KoInitEx=0 KoEnumerate=0 KoEnumerateInfo=0 KoOpen=0 KoInt0=0 KoClose=0 KoDeInit=0");
}

TEST_F(Program, FirmwareNamesArePassedAsConfigured)
{
    mkdir((base / "fw dir").c_str(), 0755);
    const std::string names[] = {"../fw dir/\xC3\xA9t\xC3\xA9.bin", "my firmware.bin", "caf\xE9.bin"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        writeFile(base / "data/" + name, "image");
        service("<service><type name='L' fw='" + name + "' type='1' vid='4660' pid='1'/></service>");
        bus(loaderDevice);
        const Outcome r = run();
        EXPECT_EQ(r.status, 0);
        ASSERT_GE(r.journal.size(), 5u);
        EXPECT_EQ(r.journal[4], "KoInt0(handle=1, type=1, path=\".//data/" + name + "\") = 0");
    }
}

TEST_F(Program, ALibraryFailingAtEachCallInTurn)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice + loaderDevice);
    const Lines baseline = run().journal;
    ASSERT_EQ(baseline.size(), 11u);
    std::map<std::string, int> seen;
    for (size_t k = 0; k < baseline.size(); ++k) {
        const std::string function = baseline[k].substr(0, baseline[k].find('('));
        const std::string text = "fault at call " + std::to_string(k) + " (" + function + ")";
        SCOPED_TRACE(text);
        bus(loaderDevice + loaderDevice + "<fault function='" + function + "' occurrence='" +
            std::to_string(++seen[function]) + "' code='" + std::to_string(40 + k) + "' text='" + text + "'/>");
        const Outcome r = run();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, text + "\n");
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back(), text);
        // The session is closed last; every device that opened was closed.
        ASSERT_FALSE(r.journal.empty());
        EXPECT_EQ(r.journal.back().rfind("KoDeInit()", 0), 0u);
        for (const auto& line : r.journal) {
            const auto at = line.find("[handle=");
            if (line.rfind("KoOpen(", 0) != 0 || at == std::string::npos)
                continue;
            const std::string handle = line.substr(at + 8, line.find(']') - at - 8);
            bool closed = false;
            for (const auto& other : r.journal)
                closed = closed || other.rfind("KoClose(handle=" + handle + ")", 0) == 0;
            EXPECT_TRUE(closed) << "handle " << handle << " left open";
        }
    }
}

} // namespace
