// The helper killed or stopped at each step of a pass, as the out-of-memory
// killer, a crash or systemctl stop would do it, then left to what systemd
// does next (another start while arrivals or an unfinished pass's record
// wait), without a new arrival: the device gets its firmware exactly once
// (none after a stop, which retries nothing), no two library sessions
// overlap, the lock ends free, no retry is announced that will not come, and
// the counters never go backwards and count every finished pass once.
// The steps are reached with pausepoint.so, which stops the helper there.

#include "helper.h"
#include "passlock.h"
#include "retrystate.h"

#include <chrono>
#include <dirent.h>
#include <thread>

namespace {

using namespace helper;

struct Step {
    const char* name;
    const char* pause; // pausepoint.c's QMX4_PAUSE; "" for the download, found in the library's journal
    bool fails;        // the first pass fails once, so that a retry follows
};

const Step steps[] = {
    {"WaitingForTheLock", "flock:busy", false},
    {"JustAfterTheMarkersAreTaken", "unlinkat:1-1", false},
    {"InsideTheDownload", "", false},
    {"DuringTheMetricsStep", "execv:qmx4-fwctl", true},
    {"DuringABackOff", "inotify_add_watch:arrivals", true},
    {"WhileTheRetryStateIsWritten", "rename:/retry", true},
};

enum class Signal { KillHelper, KillAll, Stop };
const char* const signalNames[] = {"KillHelper", "KillAll", "Stop"};

void PrintTo(const Step& step, std::ostream* out) { *out << step.name; }
void PrintTo(Signal signal, std::ostream* out) { *out << signalNames[static_cast<int>(signal)]; }

class Faults : public Helper, public ::testing::WithParamInterface<std::tuple<Step, Signal>> {
protected:
    std::string metricsFile() { return scratch / "textfile/qmx4_fwload.prom"; }
    std::string command(const std::string& environment)
    {
        return "env " + environment + " '" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() +
               "' --retry-delays 0.3 --metrics '" + metricsFile() + "' '" QMX4_FWLOAD "'";
    }
    // Whether systemd would start a pass: the arrivals directory holds an
    // entry that is not hidden.
    bool waiting()
    {
        DIR* d = opendir((locks() + "/arrivals").c_str());
        bool any = false;
        for (dirent* e; d && !any && (e = readdir(d));)
            any = e->d_name[0] != '.';
        if (d)
            closedir(d);
        return any;
    }
    double passesCounted()
    {
        double total = 0;
        for (const auto& line : testutil::readLines(metricsFile()))
            if (line.rfind("qmx4_fwload_passes_total{", 0) == 0)
                total += std::stod(line.substr(line.rfind(' ') + 1));
        return total;
    }
    int count(const std::string& path, const std::string& start, const std::string& end = std::string())
    {
        int n = 0;
        for (const auto& line : testutil::readLines(path))
            n += line.rfind(start, 0) == 0 && line.size() >= end.size() &&
                 line.compare(line.size() - end.size(), end.size(), end) == 0;
        return n;
    }
};

TEST_P(Faults, NothingIsLostDoubledOrLeftBehind)
{
    const auto& [step, signal] = GetParam();
    service("<service>" + testutil::loaderEntry + "</service>");
    bus("<device name='Q' state='2' vid='4660' pid='1' firmwareType='1' downloadMs='300'/>" +
        std::string(step.fails ? "<fault function='KoInt0' code='9' text='stalled' times='1'/>" : ""));
    mkdir((scratch / "textfile").c_str(), 0755);
    arrive("1-1");
    char why[PASSLOCK_WHY];
    const int held = step.pause == std::string("flock:busy") ? passlock_take(locks().c_str(), 0, 0, nullptr, nullptr, why) : -1;

    const std::string note = scratch / "paused";
    const pid_t pid = start(command("LD_PRELOAD='" QMX4_PAUSEPOINT "' ASAN_OPTIONS=verify_asan_link_order=0 QMX4_PAUSE='" +
                                    std::string(step.pause) + "' QMX4_PAUSE_NOTE='" + note + "'"));
    pid_t paused = pid;
    if (*step.pause) {
        ASSERT_TRUE(waitFor([&] { return readFile(note).find('\n') != std::string::npos; })) << readFile(scratch / "out");
        paused = std::stoi(readFile(note));
    } else {
        ASSERT_TRUE(waitFor([&] { return deviceOpened(); }));
    }
    switch (signal) {
    case Signal::KillHelper: // what the helper started goes on, the lock with it
        kill(pid, SIGKILL);
        kill(paused, SIGCONT);
        break;
    case Signal::KillAll:
        kill(-pid, SIGKILL);
        break;
    case Signal::Stop: // systemctl stop
        kill(-pid, SIGTERM);
        kill(-pid, SIGCONT);
        break;
    }
    if (held >= 0)
        close(held);
    const int status = finish(pid);
    EXPECT_EQ(status, signal == Signal::Stop ? 1 : -1) << readFile(scratch / "out");

    // What systemd does next: a pass while anything waits in arrivals.
    double counted = passesCounted();
    for (int starts = 0; waiting() && starts < 5; ++starts) {
        finish(start(command("QMX4_PAUSE=")));
        EXPECT_GE(passesCounted(), counted) << "the counters went backwards";
        counted = passesCounted();
    }
    EXPECT_FALSE(waiting()) << "arrivals still wait";
    const int lock = passlock_take(locks().c_str(), 0, 60000, nullptr, nullptr, why);
    EXPECT_GE(lock, 0) << "the lock stays held: " << why;
    close(lock);

    const bool stopped = signal == Signal::Stop && std::string(step.name) != "WaitingForTheLock";
    EXPECT_EQ(count(scratch / "journal", "KoInt0(", ") = 0"), stopped ? 0 : 1) << readFile(scratch / "out");
    // A session whose downloader was killed in it never ends in the journal;
    // elsewhere every session ends before the next begins.
    std::system(("awk -f '" QMX4_TESTS_DIR "/journal.awk' '" + scratch / "journal" + "' >'" + scratch / "sessions" + "'").c_str());
    if (signal == Signal::KillHelper || std::string(step.name) != "InsideTheDownload") {
        EXPECT_EQ(readFile(scratch / "sessions").find("sessions overlapping"), std::string::npos);
    }
    retrystate state;
    retrystate_read(locks().c_str(), &state, why, sizeof why);
    EXPECT_NE(state.kind, RETRYSTATE_DUE);
    EXPECT_EQ(passesCounted(), count(scratch / "out", "pass ended: ")) << readFile(scratch / "out");
}

std::string name(const ::testing::TestParamInfo<Faults::ParamType>& info)
{
    return std::string(signalNames[static_cast<int>(std::get<1>(info.param))]) + std::get<0>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(EachStep, Faults,
                         ::testing::Combine(::testing::ValuesIn(steps),
                                            ::testing::Values(Signal::KillHelper, Signal::KillAll, Signal::Stop)),
                         name);

} // namespace
