// qmx4-fwload-pass against what others put in its way: text from devices,
// the library, files and markers that would forge journal lines, thousands
// of arrivals, files of the wrong kind in the lock directory, a setting it
// cannot read, a start timeout too short for its retries, a closed standard
// output, and several helpers at once.

#include "helper.h"
#include "markers.h"

#include <chrono>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace helper;

// `text` with every '@' replaced by `path`.
std::string at(std::string text, const std::string& path)
{
    for (size_t found; (found = text.find('@')) != std::string::npos;)
        text.replace(found, 1, path);
    return text;
}

// The lines of `text` that begin with `start`.
std::vector<std::string> linesFrom(const std::string& text, const std::string& start)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(start, 0) == 0)
            found.push_back(line);
    return found;
}

TEST_F(Helper, TextOfOthersCannotForgeJournalLines)
{
    const std::string forged = "pass ended: 9 devices downloaded, success, 0.001 s";
    const struct { std::string why, types, device, setup; } cases[] = {
        {"the library's text", testutil::loaderEntry,
         "<fault function='KoInt0' code='9' text='Evil&#10;" + forged + "'/>", ""},
        {"an escape in a type name", "<type name='Evil\x1b[31m' fw='loader.bin' type='1' vid='4660' pid='1'/>", "", ""},
        {"a line feed in fw", "<type name='L' fw='a&#10;" + forged + "' type='1' vid='4660' pid='1'/>", "", ""},
        {"a log that leads to /proc/self/status", testutil::loaderEntry, "", "ln -sf /proc/self/status service.log"},
        {"a marker's name", testutil::loaderEntry, "",
         "mkdir -p @/arrivals && touch \"@/arrivals/a$(printf '\\n')" + forged + "\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        service("<service append='true'>" + c.types + "</service>");
        bus(testutil::loaderDevice + c.device);
        if (!c.setup.empty()) {
            ASSERT_EQ(std::system(("cd '" + base.path + "' && " + at(c.setup, locks())).c_str()), 0);
        }
        const Outcome r = helper("'" QMX4_FWLOAD "'");
        EXPECT_EQ(linesFrom(r.out, "pass ended: ").size(), 1u) << r.out;
        EXPECT_TRUE(linesFrom(r.out, forged).empty()) << r.out;
        EXPECT_EQ(r.out.find_first_of("\x1b\t\r"), std::string::npos) << r.out;
        std::remove((base / "service.log").c_str());
    }
}

TEST_F(Helper, ThousandsOfArrivalsSayHowManyAndCutNoName)
{
    std::set<std::string> names;
    mkdir(locks().c_str(), 0755);
    mkdir((locks() + "/arrivals").c_str(), 0755);
    for (int bus = 1; bus <= 30; ++bus)
        for (int device = 1; device <= 100; ++device) {
            char name[16];
            std::snprintf(name, sizeof name, "%03d-%03d", bus, device);
            names.insert(name);
            writeFile(locks() + "/arrivals/" + name, "");
        }
    const Outcome r = helper(script("exit 0"));
    const std::string line = r.out.substr(0, r.out.find('\n'));
    ASSERT_EQ(line.rfind("arrivals: 3000: 001-001 ", 0), 0u) << line;
    EXPECT_LE(line.size(), 1100u);
    std::istringstream words(line.substr(16));
    std::vector<std::string> shown;
    for (std::string word; words >> word && word != "and";)
        shown.push_back(word);
    std::string more;
    words >> more;
    EXPECT_EQ(more, std::to_string(3000 - shown.size()));
    for (const auto& name : shown)
        EXPECT_EQ(names.count(name), 1u) << name;
    EXPECT_EQ(left(), "");
}

TEST_F(Helper, FilesOfTheWrongKindInTheLockDirectoryAreRefusedNotFollowed)
{
    // "@": the lock directory, L in the scratch directory `dir`.
    const struct { std::string why, setup, message; int status; } cases[] = {
        {"a FIFO as the lock", "mkfifo L/pass", "@/pass: it is a FIFO, not a regular file", PASS_FAILED},
        {"a directory as the lock", "mkdir L/pass", "@/pass: it is a directory, not a regular file", PASS_FAILED},
        {"a link as arrivals", "mkdir E && touch E/keep && ln -s ../E L/arrivals",
         "@/arrivals: it is a symbolic link, not a directory", PASS_FAILED},
        {"a FIFO as taken", "mkdir L/arrivals && mkfifo L/taken", "@/taken: it is a FIFO, not a directory", PASS_FAILED},
        {"a lock directory others may write", "chmod 777 L", "@: it is writable by others (mode 0777)", PASS_FAILED},
        {"a link as the lock directory", "mv L M && ln -s M L", "@: it is a symbolic link, not a directory", PASS_FAILED},
        {"arrivals of another owner", "mkdir L/arrivals && chown 1:1 L/arrivals",
         "@/arrivals: it belongs to user 1, neither root nor this program's user", PASS_FAILED},
        {"a full directory aside", "mkdir -p L/arrivals/junk/x", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const std::string dir = scratch / "dir";
        std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "/L'").c_str());
        ASSERT_EQ(std::system(("cd '" + dir + "' && " + c.setup).c_str()), 0);
        const Outcome r = runCommand("'" QMX4_FWLOAD_PASS "' --lock-dir '" + dir + "/L' " + script("exit 0"), "timeout 30");
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE((r.err + r.out).find(at(c.message, dir + "/L")), std::string::npos) << r.err << r.out;
        EXPECT_FALSE(c.message.empty() && !r.err.empty()) << r.err;
        EXPECT_EQ(access((dir + "/E/keep").c_str(), F_OK) == 0, c.setup.find("E/keep") != std::string::npos);
        // Where the helper cannot work, it says so once and leaves no
        // arrival to start the path unit again.
        EXPECT_EQ(linesFrom(r.err, "qmx4-fwload-pass: can't run a pass: ").size(), c.status ? 1u : 0u) << r.err;
        const bool linked = c.setup.find("ln -s") != std::string::npos;
        EXPECT_TRUE(linked || std::system(("test -z \"$(ls -A '" + dir + "/L/arrivals' 2>/dev/null)\"").c_str()) == 0);
    }
}

TEST_F(Helper, ASettingItCannotReadIsAWarningAndThePassRuns)
{
    // Standard output stands for the journal (JOURNAL_STREAM names it):
    // the warning and the failure carry their priorities, nothing else does.
    writeFile(scratch / "out", "");
    struct stat out;
    ASSERT_EQ(stat((scratch / "out").c_str(), &out), 0);
    const std::string journal =
        "JOURNAL_STREAM=" + std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino);
    const Outcome r = helper(script("exit 3"), "env " + journal + " QMX4_RETRY_DELAYS=60s");
    EXPECT_EQ(r.status, PASS_FAILED);
    EXPECT_EQ(linesFrom(r.out, "<4>ignoring QMX4_RETRY_DELAYS=\"60s\": ").size(), 1u) << r.out;
    EXPECT_EQ(linesFrom(r.out, "<3>pass ended: 0 devices downloaded, failed (exit status 3), ").size(), 1u) << r.out;
    EXPECT_EQ(linesFrom(r.out, "arrivals: by hand").size(), 1u) << r.out;
    EXPECT_EQ(r.out.find("retry"), std::string::npos) << r.out;
}

TEST_F(Helper, AClosedStandardOutputDoesNotEndThePass)
{
    service("<service>" + testutil::loaderEntry + "</service>");
    bus(testutil::loaderDevice);
    arrive("1-1");
    // A pipe nobody reads: every write fails (EPIPE).
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    close(out[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl("/bin/sh", "sh", "-c",
              ("cd '" + base.path + "' && QMX4SIM_JOURNAL='" + scratch / "journal" + "' exec '" QMX4_FWLOAD_PASS
               "' --lock-dir '" + locks() + "' '" QMX4_FWLOAD "'").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    EXPECT_EQ(finish(pid), 0);
    EXPECT_NE(readFile(scratch / "journal").find("\nKoInt0("), std::string::npos);
    EXPECT_EQ(left(), "");
}

TEST_F(Helper, HelpersAndCompanionsAtOnceCountEveryPass)
{
    service("<service>" + testutil::loaderEntry + "</service>");
    bus(testutil::loaderDevice);
    mkdir((scratch / "textfile").c_str(), 0755);
    const std::string metrics = scratch / "textfile/qmx4_fwload.prom";
    const std::string fwctl = QMX4_FWCTL;
    for (int round = 0; round < 4; ++round) {
        std::vector<pid_t> running;
        for (int n = 0; n < 3; ++n) {
            // A pass and its count after it, as the unit runs them.
            const std::string events = scratch / ("events" + std::to_string(n));
            running.push_back(start("sh -c \"'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' --events '" + events +
                                    "' '" QMX4_FWLOAD "'; EXIT_CODE=exited EXIT_STATUS=$? exec '" + fwctl +
                                    "' metrics --ended '" + events + "' --lock-dir '" + locks() + "' --output '" +
                                    metrics + "' .\""));
            // A pass recorded by hand, under the same lock.
            running.push_back(start("'" + fwctl + "' metrics --record success,0,0.1 --lock-dir '" + locks() +
                                    "' --output '" + metrics + "' ."));
        }
        for (const pid_t pid : running)
            EXPECT_EQ(finish(pid), 0);
    }
    EXPECT_NE(readFile(metrics).find("\nqmx4_fwload_passes_total{result=\"success\"} 24\n"), std::string::npos)
        << readFile(metrics);
    std::system(("awk -f '" QMX4_TESTS_DIR "/journal.awk' '" + scratch / "journal" + "' >'" + scratch / "sessions" + "'").c_str());
    EXPECT_NE(readFile(scratch / "sessions").find("\nsessions ok 36\n"), std::string::npos) << readFile(scratch / "sessions");
}

TEST_F(Helper, TheLockIsNamedAfterTheProcessThatHoldsIt)
{
    // The helper dies; the downloader it started holds the lock on.
    service("<service>" + testutil::loaderEntry + "</service>");
    bus("<device name='Slow' state='2' vid='4660' pid='1' firmwareType='1' downloadMs='60000'/>");
    const pid_t pid = start("'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' '" QMX4_FWLOAD "'");
    ASSERT_TRUE(waitFor([&] { return deviceOpened(); }));
    kill(pid, SIGKILL);
    finish(pid);
    const std::string fwctl = QMX4_FWCTL;
    const Outcome r = runCommand("'" + fwctl + "' list --wait 0 --lock-dir '" + locks() + "' .");
    kill(-pid, SIGKILL);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(" (qmx4-fwload)) still holds "), std::string::npos) << r.err;
}

} // namespace
