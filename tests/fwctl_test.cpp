// The companion's commands in-process against the stand-in library: the
// command line, the refusals they share with the downloader, check, list,
// info and set-user-id with their JSON, and what goes wrong with output.

#include "companion.h"
#include "history.h"
#include "prometheus.h"
#include "refusals.h"

#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using namespace companion;

// The command line as users type it: options before or after the command,
// --name=value, "--", help at every level, the version; and what is
// refused with the usage and status 2.
TEST_F(Companion, CommandLine)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    const struct { std::string args; int status; std::string shows; } cases[] = {
        {"--help", 0, "set-user-id"}, {"-h", 0, "metrics"}, {"check -h", 0, "--strict"},
        {"info --help", 0, "--index N"}, {"--help list", 0, "--lock-dir DIR"}, {"--version", 0, "qmx4-fwctl 1.1\n"},
        {"--json check BASE", 0, "\"servable\":true"}, {"--tsv --lock-dir LOCKS list BASE", 0, "\tQ\t"},
        {"list --lock-dir=LOCKS --json BASE", 0, "\"action\":\"download\""}, {"check --tsv -- BASE", 0, "\tok\n"},
        {"", 2, "A subcommand is required"}, {"bogus", 2, "bogus"}, {"bogus --help", 2, "unknown command: bogus"},
        {"--lock-dir LOCKS bogus -h", 2, "unknown command: bogus"}, {"check --lock-dir LOCKS BASE", 2, "--lock-dir"},
        {"rules --json BASE", 2, "--json"}, {"rules -o x BASE", 2, "-o"}, {"check --bogus", 2, "--bogus"},
        {"check a b", 2, "b"}, {"info --lock-dir LOCKS --index", 2, "--index"},
        {"info --lock-dir LOCKS --index -1", 2, "--index"}, {"list --lock-dir ''", 2, "absolute directory, not ''"},
        {"info --lock-dir locks", 2, "absolute directory, not 'locks'"}, {"set-user-id --lock-dir LOCKS 0", 2, "TEXT"},
        {"set-user-id --lock-dir LOCKS x label", 2, "INDEX"}, {"set-user-id --lock-dir LOCKS 0 a b c", 2, "c"},
        {"metrics --lock-dir LOCKS --record success,2 BASE", 2, "--record"},
        // Numbers as the helper reads them: decimal digits only.
        {"metrics --lock-dir LOCKS --record success,2,inf BASE", 2, "--record"},
        {"metrics --lock-dir LOCKS --record success,0x10,1 BASE", 2, "--record"},
        {"list --lock-dir LOCKS --wait 0x10 BASE", 2, "whole number from 0 to 86400, not '0x10'"},
        {"list --lock-dir LOCKS --wait 1e1 BASE", 2, "--wait"}, {"info --lock-dir LOCKS --index=+1 BASE", 2, "--index"},
        {"info --lock-dir LOCKS --index 00 --tsv BASE", 0, "\tQ\t"},
        {"metrics --lock-dir LOCKS --pass-id 1-x --record success,0,1 BASE", 2, "--pass-id"},
        // Options before the command: those it takes, not others; a value
        // that names a command is a value.
        {"--lock-dir LOCKS check BASE", 2, "check takes no --lock-dir"}, {"--strict list --lock-dir LOCKS BASE", 2, "--strict"},
        {"--output list rules BASE", 0, ""}, {"--wait 5 --lock-dir=LOCKS --tsv list BASE", 0, "\tQ\t"},
    };
    // In the scratch directory, where --output list writes.
    char here[PATH_MAX];
    ASSERT_TRUE(getcwd(here, sizeof here));
    ASSERT_EQ(chdir(scratch.path.c_str()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 2) {
            EXPECT_EQ(r.err.rfind("qmx4-fwctl: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find("\nusage: qmx4-fwctl "), std::string::npos) << r.err;
        }
        EXPECT_NE((c.status == 2 ? r.err : r.out).find(c.shows), std::string::npos) << r.out << r.err;
    }
    EXPECT_NE(readFile(scratch / "list").find("RUN+="), std::string::npos);
    ASSERT_EQ(chdir(here), 0);
}

TEST_F(Companion, EveryCommandRefusesWhatTheDownloaderRefuses)
{
    const std::string file = base / "data/service.xml";
    for (const auto& r : refusals::all(file)) {
        service(r.xml);
        for (const std::string command : {"check", "list --lock-dir LOCKS", "rules --output BASE/rules"}) {
            SCOPED_TRACE(command + " on " + r.text);
            const Result refused = run(command + " BASE");
            EXPECT_EQ(refused.status, 1);
            // check goes on to explain what it can read
            const std::string line = refusals::printed(r, file) + "\n";
            EXPECT_EQ(command == "check" ? refused.err.substr(0, line.size()) : refused.err, line);
            EXPECT_EQ(refused.out.empty(), command != "check" || r.text.find("Invalid") == std::string::npos);
            EXPECT_TRUE(journal().empty());
            EXPECT_NE(access((base / "rules").c_str(), F_OK), 0);
        }
    }
    const Result missing = run("rules " + scratch.path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Can't open file : " + scratch.path + "/data/service.xml\n");
}

TEST_F(Companion, CheckReportsWhatKeepsEachEntryFromBeingServed)
{
    service("<service>" + loaderEntry +
            "<type name='Gone' fw='gone.bin' type='2' vid='4660' pid='2'/>"
            "<type name='Again' fw='loader.bin' type='3' vid='4660' pid='1'/>"
            "<type name='Big' fw='loader.bin' type='1' vid='70000' pid='1'/>"
            "<type name='Dir' fw='.' type='1' vid='1' pid='1'/>"
            "<type name='Empty' fw='empty.bin' type='1' vid='1' pid='2'/>"
            "<type name='Pinned' fw='loader.bin' type='1' vid='1' pid='3' sha256='" + std::string(64, 'A') +
            "'/></service>");
    writeFile(base / "data/empty.bin", "");
    const std::string path = base / "data/";
    const Result r = run("check --tsv BASE");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "0\tLoader\t1234:0001\t4660/1\t1\t" + path + "loader.bin\tok\n"
                     "1\tGone\t1234:0002\t4660/2\t2\t" + path + "gone.bin\tfirmware missing\n"
                     "2\tAgain\t1234:0001\t4660/1\t3\t" + path + "loader.bin\tnever used: #0 has the same ids\n"
                     "3\tBig\t-:0001\t70000/1\t1\t" + path + "loader.bin\tids cannot be USB ids\n"
                     "4\tDir\t0001:0001\t1/1\t1\t" + path + ".\tfirmware is a directory, not a regular file\n"
                     "5\tEmpty\t0001:0002\t1/2\t1\t" + path + "empty.bin\tfirmware empty\n"
                     "6\tPinned\t0001:0003\t1/3\t1\t" + path + "loader.bin\tFirmware file " + path +
                     "loader.bin does not match its sha256: expected " + std::string(64, 'a') +
                     ", found c3bf47ea1f4a4a605470313cacb3a44f4a461f68c6faeab07e737610cb5ac835\n");
    EXPECT_TRUE(journal().empty());

    service("<service>" + loaderEntry + "</service>");
    const Result good = run("check --table BASE");
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, "#  NAME    VID:PID    VID/PID  TYPE  FIRMWARE" + std::string(path.size() + 4, ' ') +
                            "STATUS\n0  Loader  1234:0001  4660/1   1     " + path + "loader.bin  ok\n");
}

TEST_F(Companion, ListSaysWhatAPassWouldDoAndTouchesNoDevice)
{
    service("<service>" + loaderEntry + "</service>");
    bus("<device name='Done' state='3' vid='4660' pid='1'/>" + loaderDevice +
        "<device name='Other' state='2' vid='1133' pid='49707'/>");
    const Result r = run("list --tsv --lock-dir LOCKS BASE");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "0\tDone\tstate 3\t1234:0001\tskip: not waiting for firmware\n"
                     "1\tQ\twaiting for firmware\t1234:0001\tdownload loader.bin as type 1 (Loader)\n"
                     "2\tOther\twaiting for firmware\t046d:c22b\tskip: no configured type\n");
    EXPECT_EQ(journal().size(), 6u);
    EXPECT_EQ(journal().back(), "KoDeInit() = 0");

    // A failing library: its text, status 1, and the session closed all the same.
    const struct { std::string fault, text, last; } failures[] = {
        {"<fault function='KoEnumerate' code='7' text='bus reset'/>", "bus reset", "KoDeInit() = 0"},
        // a failed close is tried once more, as a pass does
        {"<fault function='KoDeInit' code='9' text='cannot release'/>", "cannot release", "KoDeInit() = 0"},
        {"<fault function='KoInitEx' code='7' text='no USB access'/>", "no USB access", "KoDeInit() = 1"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.fault);
        bus(loaderDevice + f.fault);
        const Result failed = run("list --lock-dir LOCKS BASE");
        EXPECT_EQ(failed.status, 1);
        EXPECT_EQ(failed.out, "");
        EXPECT_EQ(failed.err, f.text + "\n");
        ASSERT_FALSE(journal().empty());
        EXPECT_EQ(journal().back(), f.last);
    }
}

TEST_F(Companion, ListPredictsWhereAPassWillFail)
{
    service("<service>" + loaderEntry + "<type name='Other' fw='gone.bin' type='2' vid='4660' pid='2'/>"
            "<type name='Hex' fw='loader.bin' type='3' vid='1234' pid='99'/></service>");
    const std::string device = "<device name='D' state='2' vid='4660' pid='";
    bus(device + "1'/>" + device + "2'/>" + device + "1'/>" + device + "153'/><device name='C' state='7' vid='4660' pid='2'/>");
    const Result r = run("list --tsv --lock-dir LOCKS BASE");
    EXPECT_EQ(r.status, 0);
    const std::string waits = "\tD\twaiting for firmware\t";
    EXPECT_EQ(r.out, "0" + waits + "1234:0001\tdownload loader.bin as type 1 (Loader)\n"
                     "1" + waits + "1234:0002\tdownload gone.bin as type 2 (Other): will fail, firmware missing; "
                     "the pass ends here\n"
                     "2" + waits + "1234:0001\tnot reached: the pass ends at device 1\n"
                     "3" + waits + "1234:0099\tskip: no configured type (entry #2 has vid 1234 and pid 99; this device "
                     "is 0x1234 = 4660 and 0x0099 = 153: ids in service.xml are decimal)\n"
                     "4\tC\tstate 7\t1234:0002\tskip: not waiting for firmware\n");
}

TEST_F(Companion, InfoReadsEachDeviceAndClosesTheSession)
{
    bus("<device name='Done' state='3' vid='4660' pid='1' serial='S1' firmware='fw 2' derivateInfo='QMX4-L' "
        "derivateId='1' userId='rack 1' maxTransfer='512'/>"
        "<device name='New' state='2' vid='1' pid='2' serial='S2'/>"
        "<device name='Busy' state='2' vid='4660' pid='1'/>"
        "<fault function='KoOpen' device='2' code='501' text='device busy'/>");
    const Result r = run("info --tsv --lock-dir LOCKS BASE");
    EXPECT_EQ(r.status, 1); // one device could not be read
    EXPECT_EQ(r.out, "0\tDone\tstate 3\t1234:0001\tS1\tfw 2\tQMX4-L (1)\track 1\t512\tok\n"
                     "1\tNew\twaiting for firmware\t0001:0002\tS2\t-\t- (0)\t-\t65536\tok\n"
                     "2\tBusy\twaiting for firmware\t1234:0001\t-\t-\t-\t-\t-\tnot opened: device busy\n");
    std::string calls;
    for (const auto& line : journal())
        calls += line.substr(0, line.find('(')) + (line.find(") = 0") == std::string::npos ? "!" : "") + " ";
    const std::string reads = "KoOpen KoGetSerialNumber KoGetFirmwareVersion KoGetDerivateInfo KoGetDerivateId "
                              "KoGetUserId KoGetMaxTransferSize KoClose ";
    EXPECT_EQ(calls, "KoInitEx KoEnumerate KoEnumerateInfo KoEnumerateInfo KoEnumerateInfo " + reads + reads +
                         "KoOpen! KoDeInit ");

    const Result one = run("info --index 1 --tsv --lock-dir LOCKS BASE");
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out.substr(0, 6), "1\tNew\t");
    const Result none = run("info --index 3 --lock-dir LOCKS BASE");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "qmx4-fwctl: no device 3: 3 attached\n");
    EXPECT_EQ(journal().back(), "KoDeInit() = 0");
}

TEST_F(Companion, SetUserIdIsReadBack)
{
    bus(loaderDevice + loaderDevice);
    const Result r = run("set-user-id --lock-dir LOCKS 1 rack-3 BASE");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "device 1 (Q): user id \"rack-3\"\n");
    const std::vector<std::string> calls = journal();
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(calls[4], "KoOpen(index=1, handle_in=-1) = 0 [handle=1]");
    EXPECT_EQ(calls[5], "KoSetUserId(handle=1, id_length=6, terminated=yes) = 0");
    EXPECT_EQ(calls[6], "KoGetUserId(handle=1) = 0");
    EXPECT_EQ(calls[7], "KoClose(handle=1) = 0");
    EXPECT_EQ(run("info --index 1 --tsv --lock-dir LOCKS BASE").out.find("\track-3\t") != std::string::npos, true);

    bus(loaderDevice + "<fault function='KoSetUserId' code='9' text='read-only'/>");
    const Result refused = run("set-user-id --lock-dir LOCKS 0 x BASE");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "read-only\n");
    EXPECT_EQ(journal().at(journal().size() - 2), "KoClose(handle=1) = 0"); // closed all the same
}

TEST_F(Companion, JsonForScriptsHoldsAnyName)
{
    if (std::system("command -v jq >/dev/null") != 0)
        GTEST_SKIP() << "jq not found (Debian package jq)";
    service("<service>" + loaderEntry + "<type name='Odd&#1;&#10;\xFF' fw='x.bin' type='1' vid='2' pid='2x'/></service>");
    bus("<device name='Tab&#9;Bell&#7;\xC3(' state='2' vid='4660' pid='1' serial='S&#10;1'/>");
    // jq writes control characters as \uXXXX or \n, the replacement character as UTF-8.
    const struct { std::string command, query, expected; } cases[] = {
        {"check", "[.entries[1].name, .entries[1].valid, .entries[1].pid_hex, .warnings[0]]",
         "[\"Odd\\u0001\\n\xEF\xBF\xBD\",true,\"0002\",\"entry #1 (Odd\\\\x01\\\\n\\\\xff): pid \\\"2x\\\" is read as 2\"]"},
        {"list", ".devices[0] | [.name, .state, .waiting_for_firmware, .vid, .vid_hex, .action, .entry]",
         "[\"Tab\\tBell\\u0007\xEF\xBF\xBD(\",2,true,4660,\"1234\",\"download\",0]"},
        {"info", ".devices[0] | [.serial, .opened, .max_transfer, .error]", "[\"S\\n1\",true,65536,null]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string locks = c.command == "check" ? "" : " --lock-dir '" + scratch / "locks" + "'";
        const std::string line = "cd '" + base.path + "' && '" QMX4_FWCTL "' " + c.command + " --json" + locks +
                                 " . 2>/dev/null | jq -ce '" + c.query + "' >'" + scratch / "jq" + "'";
        EXPECT_EQ(std::system(line.c_str()), 0) << readFile(scratch / "jq");
        EXPECT_EQ(readFile(scratch / "jq"), c.expected + "\n");
    }
}

TEST_F(Companion, OutputThatDoesNotArriveIsAFailure)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    for (const std::string& command :
         std::vector<std::string>{"check .", "list --lock-dir '" + scratch / "locks" + "' .", "rules .", "--help"}) {
        SCOPED_TRACE(command);
        const std::string line = "cd '" + base.path + "' && '" QMX4_FWCTL "' " + command + " >/dev/full 2>'" +
                                 scratch / "err" + "'";
        EXPECT_EQ(WEXITSTATUS(std::system(line.c_str())), 1);
        EXPECT_EQ(readFile(scratch / "err"), "qmx4-fwctl: can't write standard output: No space left on device\n");
    }
}

TEST_F(Companion, ListWaitsForARunningPassAtMostAsLongAsAsked)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    mkdir((scratch / "locks").c_str(), 0755);
    // The lock is per open file, so this process holds a running pass off.
    const int pass = open((scratch / "locks/pass").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(pass, LOCK_EX), 0);
    const Result r = run("list --json --wait 1 --lock-dir LOCKS BASE");
    close(pass);
    std::string name = readFile("/proc/self/comm");
    name.pop_back(); // its line feed
    const std::string holder = "the running pass (process " + std::to_string(getpid()) + " (" + name + "))";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qmx4-fwctl: waiting up to 1 s for " + holder + " to end\nqmx4-fwctl: " + holder +
                         " still holds " + scratch / "locks/pass" + " after 1 s; --wait SECONDS waits longer\n");
    EXPECT_EQ(r.out.rfind("{\"error\":\"" + holder, 0), 0u) << r.out;
    EXPECT_TRUE(journal().empty());
}

TEST_F(Companion, RefusedBeforeAnyLockOrLibraryCall)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    writeFile(scratch / "file", "");
    const struct { std::string args, err; int status; } cases[] = {
        {"info --lock-dir LOCKS " + scratch / "none", "can't use " + scratch / "none" +
                                                          " as the base directory: No such file or directory", 1},
        {"set-user-id --lock-dir LOCKS 0 x " + scratch / "file",
         "can't use " + scratch / "file" + " as the base directory: it is a regular file, not a directory", 1},
        {"set-user-id --lock-dir LOCKS 0 " + std::string(16384, 'x') + " BASE",
         "a user id has at most 16383 bytes; \"" + std::string(80, 'x') + "...\" has 16384", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.substr(0, 60));
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "qmx4-fwctl: " + c.err + "\n");
        EXPECT_TRUE(journal().empty());
        EXPECT_NE(access((scratch / "locks").c_str(), F_OK), 0); // no lock taken
    }
    // A script asking for JSON gets a document also when the command fails.
    service("<service><type name='x'/></service>");
    const Result refused = run("list --json --lock-dir LOCKS BASE");
    const std::string text = base / "data/service.xml: Invalid device entry #0";
    EXPECT_EQ(refused.out, "{\"error\":\"" + text + "\",\"refused\":\"" + text + "\"}\n");
}

TEST(Rendering, RetriesAreToldFromValuesAlone)
{
    using fwctl::report::Retry;
    const struct { Retry retry; std::string note, json, metrics; } cases[] = {
        {{}, "", "null", "qmx4_fwload_gave_up 0\n"},
        {{Retry::Due, 1000.5, 2, 3, ""}, "a retry of the failed pass is due in 10 s (retry 2 of 3)",
         "{\"state\":\"due\",\"due\":1000.500,\"retry\":2,\"retries\":3}",
         "qmx4_fwload_retry_due_timestamp_seconds 1000.5\n"},
        {{Retry::GaveUp, 0, 0, 4, ""}, "the service gave up after 4 tries at ",
         "{\"state\":\"gave_up\",\"at\":0.000,\"tries\":4}", "qmx4_fwload_gave_up 1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(fwctl::report::retryNote(c.retry, 990.5).substr(0, c.note.size()), c.note);
        EXPECT_EQ(fwctl::report::retryJson(c.retry), c.json);
        EXPECT_NE(fwctl::prometheus::render({}, nullptr, c.retry).find("\n" + c.metrics), std::string::npos);
    }
}

TEST(Rendering, FirmwareLabelsStayInsideTheirQuotes)
{
    const std::string sum(64, 'f');
    const std::string text = fwctl::prometheus::render(
        {}, nullptr, {}, {{"Loader", "loader.bin", sum}, {"A \"b\" \\c\nd\x1b\xc3\xa9", "x\"y.bin", ""}});
    EXPECT_NE(text.find("\nqmx4_fwload_firmware_info{entry=\"0\",file=\"loader.bin\",sha256=\"" + sum +
                        "\",type=\"Loader\"} 1\nqmx4_fwload_firmware_info{entry=\"1\",file=\"x\\\"y.bin\",sha256=\"\","
                        "type=\"A \\\"b\\\" \\\\c\\nd???\"} 1\n"),
              std::string::npos)
        << text;
}

TEST(Rendering, HistoryShowsEachDownloadWithItsFile)
{
    using fwctl::history::Download;
    const std::string sum = "c3bf47ea1f4a4a605470313cacb3a44f4a461f68c6faeab07e737610cb5ac835";
    const std::vector<Download> d = {
        {1765300000000000, true, "Q", "1234:0001", "Loader", ".//data/loader.bin", "8", sum, "", 0},
        {1765299000000000, false, "R", "1234:0002", "Other", ".//data/x.bin", "", "", "checksum\nerror", 1},
    };
    const auto table = fwctl::history::table(d, true);
    EXPECT_EQ(table.rows[0][7], sum.substr(0, 12));
    EXPECT_EQ(fwctl::history::table(d, false).rows[0][7], sum);
    EXPECT_EQ(table.rows[1][8], "failed: checksum\nerror");
    const std::string json = fwctl::history::json(d);
    EXPECT_NE(json.find("\"device\":0,\"name\":\"Q\",\"ids\":\"1234:0001\",\"type\":\"Loader\",\"file\":\".//data/"
                        "loader.bin\",\"size\":8,\"sha256\":\"" + sum + "\",\"outcome\":\"downloaded\",\"text\":null}"),
              std::string::npos) << json;
    EXPECT_NE(json.find("\"size\":null,\"sha256\":null,\"outcome\":\"failed\",\"text\":\"checksum\\u000aerror\"}"),
              std::string::npos) << json;
}

TEST(History, SinceTakesJournalctlsCommonForms)
{
    const long long now = 1765300000LL * 1000000;
    std::tm day{};
    day.tm_year = 2026 - 1900, day.tm_mon = 11, day.tm_mday = 9, day.tm_hour = 10, day.tm_min = 30, day.tm_isdst = -1;
    const long long at = static_cast<long long>(mktime(&day)) * 1000000;
    const struct { std::string text; std::optional<long long> usec; } cases[] = {
        {"now", now}, {"-90s", now - 90000000}, {"-2h", now - 7200000000LL}, {"-1d", now - 86400000000LL},
        {"2026-12-09 10:30", at}, {"2026-12-09 10:30:00", at}, {"-2x", std::nullopt}, {"-h", std::nullopt},
        {"2026-12-09 10:30 tomorrow", std::nullopt}, {"", std::nullopt}, {"last week", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fwctl::history::sinceUsec(c.text, now), c.usec) << c.text;
}

} // namespace
