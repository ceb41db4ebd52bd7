// qmx4-fwload-pass end to end: arrivals recorded as markers, a pass that
// takes them before the downloader lists any device and reports what it
// did, and the status systemd acts on. Arrivals at
// random moments are the stress test's (coalesce_test.sh).

#include "helper.h"
#include "markers.h"

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
    arrive("1-10");
    arrive("1-1");
    arrive("boot");
    // What the arrivals directory holds when the "downloader" starts, and
    // what was taken; the names in order whatever their tries.
    const Outcome listed =
        helper(script("LC_ALL=C ls -A '" + locks() + "/arrivals' '" + locks() + "/taken'; exec '" QMX4_FWLOAD "'"));
    EXPECT_EQ(listed.status, 0);
    const std::string prefix = "arrivals: 1-1 1-10 boot\noutput: " + locks() + "/arrivals:\noutput: \noutput: " +
                               locks() + "/taken:\noutput: 1-10~1\noutput: 1-1~1\noutput: boot~1\n";
    ASSERT_EQ(listed.out.substr(0, prefix.size() + 5), prefix + "log: ");
    EXPECT_EQ(listed.out.substr(prefix.size()), "log: " + startLine + "\nlog: Unconfigured device found: Loader\n" +
                                                   listed.out.substr(listed.out.rfind("pass ended: ")));
    EXPECT_EQ(listed.out.find("pass ended: 1 device downloaded, success, "), listed.out.rfind("pass ended"));
    EXPECT_EQ(left() + taken(), "");

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
         "1 device downloaded, failed (exit status 1) at device 2", PASS_FAILED},
        // logging off: no log, the count all the same
        {"rm -f service.log; event downloaded 3", "", "1 device downloaded, success", 0},
        // a long line's fields are no events, whatever they hold
        {"rm -f service.log; event \"downloaded 0 type=$(printf %0234d 0)downloaded 1 $(printf %0300d 0)\"", "",
         "1 device downloaded, success", 0},
        {"event failed -; exit 1", "", "0 devices downloaded, failed (exit status 1)", PASS_FAILED},
        {"kill -KILL $$", "", "0 devices downloaded, ended by signal 9", PASS_FAILED},
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

TEST_F(Helper, AStoppedPassIsOnRecordAndKeepsItsArrivals)
{
    service("<service>" + loaderEntry + "</service>");
    bus("<device name='Slow' state='2' vid='4660' pid='1' downloadMs='30000'/>");
    arrive("1-1");
    // systemctl stop sends SIGTERM to the helper alone (KillMode=mixed).
    const pid_t pid = start("'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' '" QMX4_FWLOAD "'");
    ASSERT_TRUE(waitFor([&] { return deviceOpened(); }));
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid), PASS_STOPPED);
    EXPECT_NE(readFile(scratch / "out").find("pass ended: 0 devices downloaded, stopped by SIGTERM, "), std::string::npos)
        << readFile(scratch / "out");
    EXPECT_EQ(taken(), "1-1~0\n"); // for the next start, with no tries
}

TEST_F(Helper, APassEndsWithAStatusSystemdActsOn)
{
    const struct { std::string args, body, err, summary; int status; } cases[] = {
        {"", "exit 0", "", "success", 0},
        {"", "exit 3", "", "failed (exit status 3)", PASS_FAILED},
        {"--retry-delays 5 ", "exit 3", "", "failed (exit status 3)", 1},
        {"--retry-delays 5 ", "kill -SEGV $$", "qmx4-fwload-pass: the pass ended by signal 11 (Segmentation fault); "
         "qmx4-fwctl doctor checks the device library\n", "ended by signal 11", PASS_FAILED},
        {"--retry-delays 5 ", "exec sleep 30", "qmx4-fwload-pass: the pass did not end within 1 s and was stopped\n",
         "stopped after 1 s", PASS_FAILED},
        // A downloader that writes without pause still meets its deadline.
        {"", "exec yes", "qmx4-fwload-pass: the pass did not end within 1 s and was stopped\n", "stopped after 1 s", PASS_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::system(("rm -rf '" + locks() + "/taken'").c_str());
        const auto started = std::chrono::steady_clock::now();
        const Outcome r = helper("--timeout 1 " + c.args + script(c.body));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_NE(r.out.find(c.summary + ", "), std::string::npos) << r.out.substr(0, 300);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    }
    const Outcome missing = helper("'" + scratch / "none" + "'");
    EXPECT_EQ(missing.status, 127);
    EXPECT_EQ(missing.err, "qmx4-fwload-pass: can't run " + scratch / "none" + ": No such file or directory\n");
    // SIGCHLD ignored by whoever started the helper hides no failure.
    EXPECT_EQ(helper(script("exit 3"), "perl -e '$SIG{CHLD}=\"IGNORE\"; exec @ARGV' --").status, PASS_FAILED);
}

TEST_F(Helper, AFailedPassIsRetriedBySystemdUntilOneSucceedsOrTheRetriesAreUsedUp)
{
    // A downloader that fails its first `failures` runs (counted in a
    // file); -1: one that cannot be started. Each start after status 1 is
    // systemd's restart.
    const struct { std::string delays; int failures; int status; std::vector<std::string> lines; } cases[] = {
        {"0.1,0.2", 1, 0, {"retry 1 of 2 in 0.1 s", "retry 1 of 2", "arrivals: 1-1", "pass ended: 0 devices downloaded, success"}},
        {"0.1,0.2", 9, PASS_GAVE_UP,
         {"retry 2 of 2 in 0.2 s", "gave up after 3 tries; the next arrival or systemctl start qmx4-fwload.service "
                                   "tries again"}},
        {"0.1", -1, 127, {"pass ended: 0 devices downloaded, failed (exit status 127)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delays + " " + std::to_string(c.failures));
        std::remove((base / "runs").c_str());
        arrive("1-1");
        const std::string program =
            c.failures < 0 ? "'" + scratch / "none" + "'"
                           : script("n=$(cat runs 2>/dev/null || echo 0); echo $((n + 1)) >runs; [ $n -ge " +
                                    std::to_string(c.failures) + " ]");
        std::string out;
        Outcome r;
        for (int starts = 0; starts < 5 && (starts == 0 || r.status == 1); ++starts)
            out += (r = helper("--retry-delays " + c.delays + " " + program, "timeout 60")).out;
        EXPECT_EQ(r.status, c.status) << out << r.err;
        for (const auto& line : c.lines) // whole, or up to the summary's time
            EXPECT_TRUE(("\n" + out).find("\n" + line + "\n") != std::string::npos ||
                        ("\n" + out).find("\n" + line + ", ") != std::string::npos)
                << line << " not in\n" << out;
        EXPECT_EQ(taken(), ""); // served or given up: nothing waits
    }
    // An arrival during the back-off (an hour) is served at once.
    script("[ -e served ] || { touch served; exit 3; }");
    EXPECT_EQ(helper("--retry-delays 3600 '" + scratch / "pass.sh" + "'").status, 1);
    const pid_t pid = start("'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' --retry-delays 3600 '" +
                            scratch / "pass.sh'");
    ASSERT_TRUE(waitFor([&] { return readFile(scratch / "out").find("retry 1 of 1 in 3600 s\n") != std::string::npos; }));
    arrive("2-2");
    EXPECT_EQ(finish(pid), 0);
    EXPECT_NE(readFile(scratch / "out").find("retry 1 of 1 early, for new arrivals\narrivals: 2-2 by-hand\n"), std::string::npos)
        << readFile(scratch / "out");
}

TEST_F(Helper, CommandLine)
{
    const struct { std::string args; int status; } cases[] = {
        {"--timeout 0", 2}, {"--timeout 5x", 2}, {"--timeout", 2}, {"--bogus", 2}, {"a b", 2},
        {"--arrival", 2}, {"--events", 2}, {"--arrival 1-1 --events x", 2}, {"--lock-dir ''", 2}, {"--lock-dir locks", 2}, {"--retry-delays 0", 2},
        {"--retry-delays 1,", 2}, {"--retry-delays 2,x", 2}, {"--retry-delays 0x10", 2}, {"--retry-delays ' 5'", 2},
        {"--retry-delays 1e3", 2}, {"--timeout 0x10", 2}, {"--help", 0},
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
