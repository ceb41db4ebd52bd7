#ifndef FWCTL_SUBPROCESS_H
#define FWCTL_SUBPROCESS_H

// Runs another program for qmx4-fwctl doctor (ldconfig, systemctl,
// systemd-run, the probe), bounded in time and in what it keeps of the
// output: a program that hangs or floods cannot hang the companion.

#include <string>
#include <vector>

namespace fwctl {

struct Ran {
    int status = -1;     // exit status, 128 + N for signal N, -1 when it could not be started
    bool timedOut = false; // killed (SIGKILL) after the time it was given
    std::string output;  // standard output and error together: the first quarter and the last three of what is kept
    std::string error;   // why it could not be started
};

// Runs argv[0] (a path, or a name looked up in PATH) with `argv`, standard
// input from /dev/null, `environment` ("NAME=value") added to this
// process's, for at most `seconds`, keeping at most `kept` bytes of its
// output (the first quarter and the last three). Never throws for the
// program's sake.
Ran runProgram(const std::vector<std::string>& argv, int seconds, const std::vector<std::string>& environment = {},
               size_t kept = 64 << 10);

// The file at `path` as runProgram keeps output: its first 16 KiB and
// last 48 KiB; "" when it cannot be read.
std::string readBounded(const std::string& path);

// The last line of `output` that begins with `mark`, without it; "" when
// none does.
std::string lastLineAfter(const std::string& output, const std::string& mark);

} // namespace fwctl

#endif
