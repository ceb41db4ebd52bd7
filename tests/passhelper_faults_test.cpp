// The helper killed or stopped at each step of a pass, as the out-of-memory
// killer, a crash or systemctl stop would do it, then left to what systemd
// does next without a new arrival: the service counted after every start
// (ExecStopPost=), started again after a failure or a death (Restart=),
// and again while arrivals wait (the path unit). The device gets its
// firmware exactly once (after a stop, only once something starts the
// service again), no two library sessions overlap, the lock ends free, no
// retry is promised that will not come, and every pass is counted once.
// The steps are reached with pausepoint.so, which stops the helper there.

#include "helper.h"
#include "markers.h"
#include "passlock.h"

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
    {"JustAfterTheMarkersAreTaken", "renameat:1-1~1", false},
    {"InsideTheDownload", "", false},
    {"DuringABackOff", "inotify_add_watch:arrivals", true},
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
               "' --retry-delays 0.3,0.3 --events '" + scratch / "events" + "' '" QMX4_FWLOAD "'";
    }
    // What ExecStopPost= runs once the service ended with the helper's
    // `status` (-1: killed by SIGKILL).
    void ended(int status)
    {
        const std::string exit = status < 0 ? "EXIT_CODE=killed EXIT_STATUS=KILL" : "EXIT_CODE=exited EXIT_STATUS=" + std::to_string(status);
        ASSERT_EQ(std::system(("env " + exit + " QMX4_RETRY_DELAYS=0.3,0.3 '" QMX4_FWCTL "' metrics --ended '" +
                               scratch / "events" + "' --lock-dir '" + locks() + "' --output '" + metricsFile() + "' '" +
                               base.path + "' >>'" + scratch / "err" + "' 2>&1").c_str()),
                  0);
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

    if (step.fails) { // the failed pass; its retry is the start that is paused
        const int failed = finish(start(command("QMX4_PAUSE=")));
        ASSERT_EQ(failed, 1) << readFile(scratch / "out");
        ended(failed);
    }
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
    case Signal::KillHelper: // the helper alone, as the out-of-memory killer does
        kill(pid, SIGKILL);
        kill(paused, SIGCONT);
        break;
    case Signal::KillAll:
        kill(-pid, SIGKILL);
        break;
    case Signal::Stop: // systemctl stop, to the helper alone (KillMode=mixed)
        kill(pid, SIGTERM);
        kill(paused, SIGCONT);
        break;
    }
    if (held >= 0)
        close(held);
    int status = finish(pid);
    EXPECT_EQ(status, signal == Signal::Stop ? PASS_STOPPED : -1) << readFile(scratch / "out");
    if (signal == Signal::KillHelper && *step.pause == '\0') // KillMode=mixed: the rest once the helper is gone
        kill(-pid, SIGKILL);

    // What systemd does next: count the start, then start again after a
    // failure or a death, or while arrivals wait.
    const bool stopped = signal == Signal::Stop;
    for (int starts = 0; starts < 6; ++starts) {
        ended(status);
        if (!(status == 1 || status == -1 || waiting()))
            break;
        status = finish(start(command("QMX4_PAUSE=")));
    }
    EXPECT_FALSE(waiting()) << "arrivals still wait";
    EXPECT_EQ(readFile(metricsFile()).find("retry_due"), std::string::npos) << "a retry is promised";
    const bool served = !stopped;
    EXPECT_EQ(count(scratch / "journal", "KoInt0(", ") = 0"), served ? 1 : 0) << readFile(scratch / "out");
    // Every pass that began is counted: those that ended said so; one
    // whose helper was killed in the download did not.
    const bool killedInPass = !stopped && std::string(step.name) == "InsideTheDownload";
    EXPECT_EQ(passesCounted(), count(scratch / "out", "pass ended: ") + (killedInPass ? 1 : 0)) << readFile(scratch / "out");
    if (!served) { // the arrival waits, with no tries, for the next start
        EXPECT_EQ(taken(), "1-1~0\n");
        status = finish(start(command("QMX4_PAUSE=")));
        EXPECT_EQ(status, 0) << readFile(scratch / "out");
        EXPECT_EQ(count(scratch / "journal", "KoInt0(", ") = 0"), 1);
    }
    EXPECT_EQ(taken(), "");
    const int lock = passlock_take(locks().c_str(), 0, 60000, nullptr, nullptr, why);
    EXPECT_GE(lock, 0) << "the lock stays held: " << why;
    close(lock);
    // A session whose downloader was killed or stopped in it never ends in the journal;
    // elsewhere every session ends before the next begins.
    std::system(("awk -f '" QMX4_TESTS_DIR "/journal.awk' '" + scratch / "journal" + "' >'" + scratch / "sessions" + "'").c_str());
    if (!killedInPass && !(stopped && std::string(step.name) == "InsideTheDownload")) {
        EXPECT_EQ(readFile(scratch / "sessions").find("sessions overlapping"), std::string::npos);
    }
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
