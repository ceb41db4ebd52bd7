#ifndef FWCTL_DOCTOR_H
#define FWCTL_DOCTOR_H

// qmx4-fwctl doctor: whether a pass will be able to use the installed
// device library, checked before a device is plugged in and without
// downloading anything. Gathered first (diagnose: the file the loader
// finds, its ELF headers, its dependencies and functions, then a session
// in the passes' sandbox), then printed from those values alone.

#include "commands.h"

#include <ostream>
#include <string>
#include <vector>

namespace fwctl {
namespace doctor {

struct Check {
    std::string name;   // library, others, file, dependencies, functions, stack, session
    std::string status; // ok, warn or FAIL
    std::string detail;
};

struct Diagnosis {
    std::vector<Check> checks;
    std::string library;             // the file the loader finds, "" when none
    std::string cause;               // the first failure, in words; "" when a pass can use the library
    std::string fix;                 // what to do about it, in words
    std::vector<std::string> dropin; // the [Service] lines of the drop-in that fix it, when that is the fix
    bool usable() const { return cause.empty(); }
};

// Looks at the library (`o.library`, or the one the loader finds) and
// tries it in the sandbox of the pass service, as far as this machine lets
// it; never throws for what it finds.
Diagnosis diagnose(const Options& o);

// Prints a diagnosis: a table (or tab-separated lines) of the checks, then
// the cause and the fix; or one JSON document.
void render(const Diagnosis& d, bool table, bool json, std::ostream& out);

// Why the library cannot be loaded, from the files alone (the checks up
// to the functions): whether any file looks like it, and the cause in one
// line ("" when the files show nothing wrong).
struct LoadProblem {
    bool anyFile = false;
    std::string cause;
};
LoadProblem loadProblem();

} // namespace doctor
} // namespace fwctl

#endif
