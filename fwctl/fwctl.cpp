// qmx4-fwctl's way from a command line to a command: parsed (cli.cpp), the
// base directory looked at, the command run, and its failures told, in
// JSON too when JSON was asked for.

#include "fwctl.h"

#include "cli.h"
#include "json.h"
#include "regularfile.h"
#include "session.h"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <sys/stat.h>

namespace fwctl {

namespace {

// Refuses a base directory that does not exist or is no directory, before
// any lock or library call.
void requireDirectory(const std::string& base)
{
    struct stat info;
    if (stat(base.c_str(), &info) != 0)
        throw Failure("can't use " + base + " as the base directory: " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        throw Failure("can't use " + base + " as the base directory: it is " + regularfile_kind(info.st_mode) +
                      ", not a directory");
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal)
{
    const cli::Parsed parsed = cli::parse(args, terminal, out, err);
    if (!parsed.command)
        return parsed.status;
    const Options& o = parsed.options;
    try {
        // The completion and the generic rule read no base directory (the
        // build writes both on machines without the installed one).
        if (!(parsed.command->takes & cli::Shell) && !o.generic)
            requireDirectory(o.base);
        return parsed.command->run(o, out, err);
    } catch (const std::exception& e) {
        err << failureLine(e) << '\n';
        // A script asking for JSON gets a document whatever happened.
        if (o.json) {
            const auto* refused = dynamic_cast<const Failure*>(&e);
            // Without the program's name, which a library text (the one
            // the loader makes when the library is missing) may carry.
            static const std::string name = "qmx4-fwctl: ";
            std::string error = e.what();
            if (error.rfind(name, 0) == 0)
                error.erase(0, name.size());
            out << json::Object()("error", json::text(error))(
                       "refused", refused && refused->refusal ? json::text(e.what()) : json::null)
                       .str()
                << '\n';
        }
    }
    return 1;
}

} // namespace fwctl
