#ifndef TESTS_HELPER_H
#define TESTS_HELPER_H

// The fixture of the helper's end-to-end tests: the helper run in a scratch
// base directory with a scratch lock directory, to its end or in the
// background as systemd runs it (a process group of its own, which a test
// may signal as systemd signals a unit's processes).

#include "programrun.h"

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace helper {

using programrun::Outcome;
using testutil::readFile;
using testutil::writeFile;

class Helper : public programrun::Program {
protected:
    std::string locks() { return scratch / "locks"; }
    // Runs the helper with `args`; `prefix` goes before it (say, timeout).
    Outcome helper(const std::string& args, const std::string& prefix = std::string())
    {
        return runCommand("'" QMX4_FWLOAD_PASS "' --lock-dir '" + locks() + "' " + args, prefix);
    }
    void arrive(const std::string& name) { ASSERT_EQ(helper("--arrival " + name).status, 0); }
    std::string left()
    {
        std::system(("ls -A '" + locks() + "/arrivals' >'" + scratch / "ls" + "' 2>/dev/null").c_str());
        return readFile(scratch / "ls");
    }
    // The taken markers, one per line, sorted.
    std::string taken()
    {
        std::system(("ls -A '" + locks() + "/taken' >'" + scratch / "ls" + "' 2>/dev/null").c_str());
        return readFile(scratch / "ls");
    }
    // A stand-in for the downloader: a script run in the base directory.
    std::string script(const std::string& body)
    {
        writeFile(scratch / "pass.sh", "#!/bin/sh\n" + body + "\n");
        chmod((scratch / "pass.sh").c_str(), 0755);
        return "'" + scratch / "pass.sh" + "'";
    }
    // Starts `command` (run by sh in the base directory, with the stand-in's
    // journal) in a process group of its own, its output appended to
    // scratch/out and scratch/err; returns its process id, which is the
    // group's.
    pid_t start(const std::string& command)
    {
        const std::string line = "cd '" + base.path + "' && QMX4SIM_JOURNAL='" + scratch / "journal" + "' exec " +
                                 command + " >>'" + scratch / "out" + "' 2>>'" + scratch / "err" + "'";
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid, pid);
        return pid;
    }
    // Waits up to a minute (only a hang takes that long) for `ready`.
    template <typename Ready>
    static bool waitFor(Ready ready)
    {
        for (int n = 0; n < 6000; ++n, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (ready())
                return true;
        return false;
    }
    // Whether the stand-in has opened a device: a download is under way
    // (it journals a call as the call ends).
    bool deviceOpened() { return readFile(scratch / "journal").find("\nKoOpen") != std::string::npos; }
    // Waits for a process started so; its exit status, or -1 for a signal.
    static int finish(pid_t pid)
    {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace helper

#endif
