// qmx4-fwload-pass end to end: arrivals recorded as markers, a pass that
// takes them before the downloader lists any device and reports what it
// did, its status, and the metrics it has the companion write. Arrivals at
// random moments are the stress test's (coalesce_test.sh).

#include "helper.h"

#include <chrono>

namespace {

using namespace programrun;
using helper::Helper;

TEST_F(Helper, ArrivalsAreRecordedAsMarkers)
{
    arrive("001-005");
    arrive("001-005"); // twice is once
    arrive("boot");
    EXPECT_EQ(left(), "001-005\nboot\n");
    const std::string names[] = {"''", "../x", "a/b", "'a b'", std::string(65, '1'), "-"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const Outcome r = helper("--arrival " + name);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage: qmx4-fwload-pass"), std::string::npos) << r.err;
    }
    EXPECT_EQ(helper("--arrival 1-2 '" QMX4_FWLOAD "'").status, 2);
    EXPECT_EQ(left(), "001-005\nboot\n");
}

TEST_F(Helper, APassTakesTheMarkersBeforeTheDownloaderListsDevices)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    arrive("002-001");
    arrive("001-005");
    arrive("boot");
    // What the arrivals directory holds when the "downloader" starts.
    const Outcome listed = helper(script("ls -A '" + locks() + "/arrivals'; exec '" QMX4_FWLOAD "'"));
    EXPECT_EQ(listed.status, 0);
    // Nothing left for the downloader to see but the record of what was taken.
    const std::string prefix = "arrivals: 001-005 002-001 boot\noutput: pass.unfinished\n";
    ASSERT_EQ(listed.out.substr(0, prefix.size() + 5), prefix + "log: ");
    EXPECT_EQ(listed.out.substr(prefix.size()), "log: " + startLine + "\nlog: Unconfigured device found: Loader\n" +
                                                   listed.out.substr(listed.out.rfind("pass ended: ")));
    EXPECT_EQ(listed.out.find("pass ended: 1 device downloaded, success, "), listed.out.rfind("pass ended"));
    EXPECT_EQ(left(), "");

    const Outcome byHand = helper("'" QMX4_FWLOAD "'");
    EXPECT_EQ(byHand.out.substr(0, 18), "arrivals: by hand\n");
    EXPECT_NE(byHand.out.find("pass ended: 0 devices downloaded, success, "), std::string::npos) << byHand.out;
}

TEST_F(Helper, ThePassReportsTheLogsLinesAndWhatTheDownloaderDid)
{
    // The downloader's events (`event downloaded 0`) count; the log's lines
    // are shown, whatever they say.
    const std::string event = "event() { echo \"$*\" >>/proc/self/fd/$QMX4_FWLOAD_EVENTS_FD; }; ";
    const struct { std::string body, lines, summary; int status; } cases[] = {
        // append on: only this pass's lines
        {"exec >>service.log; echo 'Unconfigured device found: A'; echo 'Unconfigured device found: B'; "
         "event downloaded 0; event downloaded 1",
         "log: Unconfigured device found: A\nlog: Unconfigured device found: B\n", "2 devices downloaded, success", 0},
        // a new log (append off): all of it; the device found last failed
        {"rm -f service.log; printf 'start\\nUnconfigured device found: A\\nchecksum error' >service.log; "
         "event downloaded 0; event failed 2; exit 1",
         "log: start\nlog: Unconfigured device found: A\nlog: checksum error\n",
         "1 device downloaded, failed (exit status 1) at device 2", 1},
        // logging off: no log, the count all the same
        {"rm -f service.log; event downloaded 3", "", "1 device downloaded, success", 0},
        {"event failed -; exit 1", "", "0 devices downloaded, failed (exit status 1)", 1},
        {"kill -KILL $$", "", "0 devices downloaded, ended by signal 9", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        writeFile(base / "service.log", "Unconfigured device found: earlier\n");
        const Outcome r = helper(script(event + c.body));
        EXPECT_EQ(r.status, c.status);
        const std::string report = "arrivals: by hand\n" + c.lines + "pass ended: " + c.summary + ", ";
        EXPECT_EQ(r.out.substr(0, report.size()), report);
    }
}

TEST_F(Helper, CountsAreExactWithLoggingOffAndWhenOnlyClosingFails)
{
    const std::string entry = "<type name='Loader' fw='loader.bin' type='1' vid='4660' pid='1'/>";
    const struct { std::string logging, fault, summary; } cases[] = {
        {"false", "", "2 devices downloaded, success"},
        {"true", "<fault function='KoDeInit' code='9' text='cannot release'/>", "2 devices downloaded, failed (exit status 1)"},
        {"true", "<fault function='KoClose' device='1' code='9' text='stuck'/>",
         "2 devices downloaded, failed (exit status 1) at device 1"},
        {"true", "<fault function='KoInt0' device='1' code='9' text='stalled'/>",
         "1 device downloaded, failed (exit status 1) at device 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logging + " " + c.fault);
        service("<service logging='" + c.logging + "'>" + entry + "</service>");
        bus(loaderDevice + loaderDevice + c.fault);
        const Outcome r = helper("'" QMX4_FWLOAD "'");
        EXPECT_NE(r.out.find("pass ended: " + c.summary + ", "), std::string::npos) << r.out;
    }
}

TEST_F(Helper, AStoppedPassIsOnRecord)
{
    service("<service>" + loaderEntry + "</service>");
    bus("<device name='Slow' state='2' vid='4660' pid='1' downloadMs='30000'/>");
    mkdir((scratch / "textfile").c_str(), 0755);
    const pid_t pid = start("'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' --metrics '" +
                            scratch / "textfile/m.prom" + "' '" QMX4_FWLOAD "'");
    // Once the download is under way, SIGTERM to the helper and its pass,
    // as systemctl stop sends it to the service's processes.
    ASSERT_TRUE(waitFor([&] { return deviceOpened(); }));
    kill(-pid, SIGTERM);
    EXPECT_EQ(finish(pid), 1);
    const std::string out = readFile(scratch / "out");
    EXPECT_NE(out.find("pass ended: 0 devices downloaded, stopped by SIGTERM, "), std::string::npos) << out;
    EXPECT_NE(testutil::readFile(scratch / "textfile/m.prom").find("qmx4_fwload_passes_total{result=\"failure\"} 1\n"),
              std::string::npos);
}

TEST_F(Helper, AMarkerThatCannotBeRemovedFailsThePassButNotTheOthers)
{
    arrive("001-005");
    arrive("001-006");
    mkdir((locks() + "/arrivals/stuck").c_str(), 0755);
    writeFile(locks() + "/arrivals/stuck/x", "");
    const Outcome r = helper(script("exit 0"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, 26), "arrivals: 001-005 001-006\n");
    EXPECT_NE(r.out.find(", success, arrival markers left, "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "qmx4-fwload-pass: can't remove arrival marker " + locks() +
                         "/arrivals/stuck: Directory not empty\n");
    EXPECT_EQ(left(), "stuck\n");
}

TEST_F(Helper, APassEndsWithItsOwnStatusOrIsStopped)
{
    const struct { std::string body, err, summary; int status; } cases[] = {
        {"exit 0", "", "success", 0},
        {"exit 3", "", "failed (exit status 3)", 3},
        {"exec sleep 30", "qmx4-fwload-pass: the pass did not end within 1 s and was stopped\n", "stopped after 1 s", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const auto started = std::chrono::steady_clock::now();
        const Outcome r = helper("--timeout 1 " + script(c.body));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_NE(r.out.find(c.summary + ", "), std::string::npos) << r.out;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    }
    const Outcome missing = helper("'" + scratch / "none" + "'");
    EXPECT_EQ(missing.status, 127);
    EXPECT_EQ(missing.err, "qmx4-fwload-pass: can't run " + scratch / "none" + ": No such file or directory\n");
}

TEST_F(Helper, EveryPassIsRecordedForPrometheusWhereItsDirectoryExists)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice + "<device name='Other' state='2' vid='1' pid='1'/>");
    const std::string metrics = "--metrics '" + scratch / "textfile/qmx4_fwload.prom" + "' '" QMX4_FWLOAD "'";
    EXPECT_EQ(helper(metrics).status, 0); // no directory: nothing written
    EXPECT_NE(access((scratch / "textfile").c_str(), F_OK), 0);
    mkdir((scratch / "textfile").c_str(), 0755);
    bus(loaderDevice + "<device name='Other' state='2' vid='1' pid='1'/>");
    const Outcome served = helper(metrics);
    EXPECT_EQ(served.status, 0);
    bus(loaderDevice + "<fault function='KoEnumerate' code='7' text='bus reset'/>");
    const Outcome failed = helper(metrics);
    EXPECT_EQ(failed.status, 1);
    const std::string text = testutil::readFile(scratch / "textfile/qmx4_fwload.prom");
    for (const std::string& sample : std::vector<std::string>{"qmx4_fwload_passes_total{result=\"success\"} 1\n",
                                     "qmx4_fwload_passes_total{result=\"failure\"} 1\n",
                                     "qmx4_fwload_downloads_total 1\n", "qmx4_fwload_last_pass_success 0\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << sample << " not in\n" << text;
    // The bus failed to list the devices right after the pass, too.
    EXPECT_EQ(text.find("qmx4_fwload_devices"), std::string::npos) << text;
    EXPECT_NE(failed.out.find("\nmetrics: bus reset\n"), std::string::npos) << failed.out;
    EXPECT_EQ(failed.err, "qmx4-fwload-pass: the pass failed before any device: the library could not open its "
                          "session or list the devices (\"bus reset\"); where it works by hand, the service's sandbox "
                          "refuses it something: qmx4-fwctl doctor names the setting and the drop-in that allows it\n"
                          "qmx4-fwload-pass: recording the pass in " + scratch / "textfile/qmx4_fwload.prom" +
                              ": qmx4-fwctl metrics failed (exit status 1)\n");
}

TEST_F(Helper, AFailedPassIsRetriedUntilOneSucceedsOrTheRetriesAreUsedUp)
{
    // A downloader that fails its first `failures` runs (counted in a
    // file), doing `more` first; -1: one that cannot be started.
    const std::string arrival = "'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' --arrival 1-9; ";
    const struct { std::string delays; int failures; std::string more; int status; std::vector<std::string> lines;
                   std::string state; } cases[] = {
        {"0.1,0.2", 1, "", 0,
         {"retry 1 of 2 in 0.1 s", "retry 1 of 2", "arrivals: none", "pass ended: 0 devices downloaded, success"}, ""},
        {"0.1,0.2", 9, "", 1,
         {"retry 2 of 2 in 0.2 s", "gave up after 3 tries; the next arrival or systemctl start qmx4-fwload.service "
                                   "tries again"},
         "gave-up"},
        // An arrival during the back-off is served at once: the delay is an hour.
        {"3600", 1, arrival, 0, {"retry 1 of 1 in 3600 s", "retry 1 of 1 early, for new arrivals", "arrivals: 1-9"}, ""},
        // A program that cannot start is not tried again.
        {"0.1", -1, "", 127, {"pass ended: 0 devices downloaded, failed (exit status 127)"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delays + " " + std::to_string(c.failures) + " " + c.more);
        std::remove((base / "runs").c_str());
        const std::string program =
            c.failures < 0 ? "'" + scratch / "none" + "'"
                           : script("n=$(cat runs 2>/dev/null || echo 0); echo $((n + 1)) >runs; " + c.more + "[ $n -ge " +
                                    std::to_string(c.failures) + " ]");
        const Outcome r = helper("--retry-delays " + c.delays + " " + program, "timeout 60");
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const auto& line : c.lines) // whole, or up to the summary's time
            EXPECT_TRUE(("\n" + r.out).find("\n" + line + "\n") != std::string::npos ||
                        ("\n" + r.out).find("\n" + line + ", ") != std::string::npos)
                << line << " not in\n" << r.out;
        const std::string state = testutil::readFile(locks() + "/retry");
        EXPECT_EQ(state.substr(0, state.find(' ')), c.state);
    }
}

TEST_F(Helper, CommandLine)
{
    const struct { std::string args; int status; } cases[] = {
        {"--timeout 0", 2}, {"--timeout 5x", 2}, {"--timeout", 2}, {"--bogus", 2}, {"a b", 2},
        {"--arrival", 2}, {"--metrics", 2}, {"--lock-dir ''", 2}, {"--lock-dir locks", 2}, {"--retry-delays 0", 2},
        {"--retry-delays 1,", 2}, {"--retry-delays 2,x", 2}, {"--retry-delays 0x10", 2}, {"--retry-delays ' 5'", 2},
        {"--retry-delays 1e3", 2}, {"--timeout 0x10", 2}, {"--start-timeout 5s", 2}, {"--help", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = helper(c.args);
        EXPECT_EQ(r.status, c.status);
        const std::string& text = c.status == 2 ? r.err : r.out;
        EXPECT_NE(text.find("usage: qmx4-fwload-pass "), std::string::npos) << text;
    }
}

} // namespace
