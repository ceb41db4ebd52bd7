#ifndef FWCTL_COMMANDS_H
#define FWCTL_COMMANDS_H

// The companion's commands, each given its parsed options and the streams
// to write to; each returns the exit status. They throw Failure (session.h)
// for their own failures and std::exception for the library's.

#include <ostream>
#include <string>

namespace fwctl {

struct Options {
    std::string base = "./";
    std::string output = "-"; // "-": standard output
    std::string lockDir;
    std::string record; // metrics: the pass to add, as "success,3,0.052"
    bool noLock = false; // the caller holds the passes' lock
    bool table = false;
    bool generic = false;
};

int check(const Options& o, std::ostream& out, std::ostream& err);
int list(const Options& o, std::ostream& out, std::ostream& err);
int rules(const Options& o, std::ostream& out, std::ostream& err);
int metrics(const Options& o, std::ostream& out, std::ostream& err);

} // namespace fwctl

#endif
