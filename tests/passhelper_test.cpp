// qmx4-fwload-pass end to end: one arrival's pass through the queue, the
// pass's own status, a pass that hangs, and the command line. Arrivals in
// bursts are the stress test's (coalesce_test.sh).

#include "programrun.h"

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>

namespace {

using namespace programrun;

class Arrival : public Program {
protected:
    Outcome arrive(const std::string& args)
    {
        return runCommand("'" QMX4_FWLOAD_PASS "' --lock-dir '" + scratch / "locks" + "' " + args);
    }
};

TEST_F(Arrival, WithAPassQueuedItEndsAtOnce)
{
    service("<service>" + loaderEntry + "</service>");
    bus(loaderDevice);
    mkdir((scratch / "locks").c_str(), 0755);
    const int queue = open((scratch / "locks/queue").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(queue, LOCK_EX), 0);
    const Outcome dropped = arrive("'" QMX4_FWLOAD "'");
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(dropped.out, "qmx4-fwload-pass: a pass is already queued; it will serve this arrival\n");
    EXPECT_TRUE(dropped.journal.empty());
    close(queue);
    const Outcome ran = arrive("'" QMX4_FWLOAD "'");
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.log, (Lines{startLine, "Unconfigured device found: Loader"}));
}

TEST_F(Arrival, APassEndsWithItsOwnStatusOrIsStopped)
{
    const struct { std::string script, err; int status; } cases[] = {
        {"exit 0", "", 0},
        {"exit 3", "", 3},
        {"kill -KILL $$", "qmx4-fwload-pass: the pass ended by signal 9\n", 1},
        {"exec sleep 30", "qmx4-fwload-pass: the pass did not end within 1 s and was stopped\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        writeFile(scratch / "pass.sh", "#!/bin/sh\n" + c.script + "\n");
        chmod((scratch / "pass.sh").c_str(), 0755);
        const auto started = std::chrono::steady_clock::now();
        const Outcome r = arrive("--timeout 1 '" + scratch / "pass.sh" + "'");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    }
    const Outcome missing = arrive("'" + scratch / "none" + "'");
    EXPECT_EQ(missing.status, 127);
    EXPECT_EQ(missing.err, "qmx4-fwload-pass: can't run " + scratch / "none" + ": No such file or directory\n");
}

TEST_F(Arrival, CommandLine)
{
    const struct { std::string args; int status; } cases[] = {
        {"--timeout 0", 2}, {"--timeout 5x", 2}, {"--timeout", 2}, {"--bogus", 2}, {"a b", 2}, {"--help", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = arrive(c.args);
        EXPECT_EQ(r.status, c.status);
        const std::string& text = c.status == 2 ? r.err : r.out;
        EXPECT_NE(text.find("usage: qmx4-fwload-pass "), std::string::npos) << text;
    }
}

} // namespace
