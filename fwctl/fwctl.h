#ifndef FWCTL_FWCTL_H
#define FWCTL_FWCTL_H

// qmx4-fwctl, the administrator's companion to qmx4-fwload, as a library:
// each command runs in-process, writing to the streams it is given.

#include <iosfwd>
#include <string>
#include <vector>

namespace fwctl {

// Runs one command line (the arguments after the program's name) and
// returns its exit status: 0 success, 1 failure (for check: an entry that
// cannot be served), 2 a wrong command line. `terminal` tells whether `out`
// is a terminal, where tables get aligned columns by default. Throws only
// what the streams throw.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal = false);

} // namespace fwctl

#endif
