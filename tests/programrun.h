#ifndef TESTS_PROGRAMRUN_H
#define TESTS_PROGRAMRUN_H

// Runs the built qmx4-fwload as a process in a fresh base directory against
// the stand-in library and collects what it left behind. When
// QMX4_FWLOAD_WRAPPER is set (e.g. to a valgrind command), the program runs
// under it.

#include "scratchbase.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace programrun {

using testutil::loaderDevice;
using testutil::loaderEntry;
using testutil::readFile;
using testutil::readLines;
using testutil::writeFile;

using Lines = std::vector<std::string>;

struct Outcome {
    int status = -1;
    std::string out, err;
    Lines log;
    bool logExists = false;
    Lines journal;
};

const std::string startLine = "Norvel QMX4 Usb Device Firmware Downloader starting ...";

class Program : public testutil::ScratchBase {
protected:
    // Runs with this configuration over an old log ("old") and one attached
    // device, and checks what every refused configuration shares: exit
    // status 1, the text on standard error only, and no library call.
    Outcome refused(const std::string& xml, const std::string& err)
    {
        writeFile(base / "service.log", "old\n");
        service(xml);
        bus(loaderDevice);
        const Outcome r = run();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.journal.empty()) << "the library was called";
        return r;
    }

    // Runs the program; `prefix` goes before it on the command line (an
    // environment setting or a command that runs it as another user).
    Outcome run(const std::string& prefix = std::string()) { return runCommand("'" QMX4_FWLOAD "'", prefix); }

    // Runs `command` (a program, quoted as needed, and its arguments) in the
    // base directory the way run() runs the downloader.
    Outcome runCommand(const std::string& program, const std::string& prefix = std::string())
    {
        std::remove((scratch / "journal").c_str());
        const char* wrapper = std::getenv("QMX4_FWLOAD_WRAPPER");
        const std::string command = "cd '" + base.path + "' && env -u QMX4SIM_BUS QMX4SIM_JOURNAL='" +
                                    scratch / "journal" + "' " + prefix + " " + (wrapper ? wrapper : "") + " " +
                                    program + " >'" + scratch / "out" + "' 2>'" + scratch / "err" + "'";
        const int raw = std::system(command.c_str());
        Outcome r;
        // A signal (abort, crash) shows as a status above 128 from the shell.
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = readFile(scratch / "out");
        r.err = readFile(scratch / "err");
        r.logExists = access((base / "service.log").c_str(), F_OK) == 0;
        r.log = readLines(base / "service.log");
        r.journal = readLines(scratch / "journal");
        return r;
    }
};

// The journal as "Function=result" words, for comparing call sequences.
inline std::string calls(const Outcome& r)
{
    std::string summary;
    for (const auto& line : r.journal) {
        const auto paren = line.find('(');
        const auto result = line.find(") = ");
        std::string code = line.substr(result + 4);
        code = code.substr(0, code.find(' '));
        summary += (summary.empty() ? "" : " ") + line.substr(0, paren) + "=" + code;
    }
    return summary;
}

} // namespace programrun

#endif
