// The command line of qmx4-fwctl: its help texts, its options and which
// command runs.

#include "fwctl.h"

#include "commands.h"
#include "json.h"
#include "prometheus.h"
#include "passlock.h"
#include "regularfile.h"
#include "report.h"
#include "session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sys/stat.h>

namespace fwctl {

namespace {

const char* const usage =
    "usage: qmx4-fwctl {check|list|info|set-user-id|rules|metrics} [options] [BASE]; qmx4-fwctl [command] --help";

const char* const mainHelp =
    "usage: qmx4-fwctl <command> [options] [BASE]\n"
    "\n"
    "The administrator's companion to qmx4-fwload. BASE is the base directory\n"
    "whose data/service.xml is read (default: the working directory, like\n"
    "qmx4-fwload); a configuration qmx4-fwload refuses is refused with its text.\n"
    "\n"
    "commands:\n"
    "  check        explain the configuration: what is wrong, what is not read\n"
    "  list         list the attached devices and what a pass would do with each\n"
    "  info         read serial number, firmware and user id from each device\n"
    "  set-user-id  store a user id (a label) in a device\n"
    "  rules        write a udev rules file for the configured device types\n"
    "  metrics      write the passes and the attached devices for Prometheus\n"
    "\n"
    "'qmx4-fwctl <command> --help' describes a command.\n";

const char* const tableHelp =
    "  --table             aligned columns under a header (default on a terminal)\n"
    "  --tsv               tab-separated lines without a header (default otherwise)\n"
    "  --json              one JSON document (see qmx4-fwctl(8) for its fields)\n";

const char* const lockHelp =
    "  --lock-dir DIR      where the passes' lock lives, an absolute directory\n"
    "                      (default " PASSLOCK_DIR ")\n"
    "  --wait SECONDS      wait at most this long for a running pass (default 60)\n";

const std::string checkHelp = std::string(
    "usage: qmx4-fwctl check [--table|--tsv|--json] [--strict] [BASE]\n"
    "\n"
    "Explains BASE/data/service.xml as qmx4-fwload reads it. A file it refuses\n"
    "is refused with its text on standard error. Every entry gets its name, ids\n"
    "in hex and decimal, type, firmware path, and \"ok\" or what keeps a pass\n"
    "from serving it: why the entry is invalid, a firmware file that is\n"
    "missing, no regular file, unreadable or empty, ids that cannot be USB ids,\n"
    "or an earlier entry with the same ids. Warnings (standard error) name what\n"
    "the program reads differently from what the file seems to say: elements\n"
    "and attributes it does not read, booleans it does not understand, numbers\n"
    "it cuts short. It touches no device and no log.\n"
    "\n") + tableHelp +
    "  --strict            warnings alone fail too\n"
    "\n"
    "Exit status: 0 when every entry can be served (warnings alone, too, unless\n"
    "--strict); 1 otherwise.\n";

const std::string listHelp = std::string(
    "usage: qmx4-fwctl list [--table|--tsv|--json] [--lock-dir DIR] [BASE]\n"
    "\n"
    "Opens a session of the device library in BASE, lists every attached\n"
    "device with its index, name, state and ids, and what a pass would do with\n"
    "it: download (and whether that will fail before the library is asked,\n"
    "for a firmware file it cannot load, and which devices the pass then never\n"
    "reaches), or skip it, with a hint for ids written in hex. It waits for a\n"
    "running pass first and holds the passes off meanwhile. It opens no device,\n"
    "downloads nothing and writes no log.\n"
    "\n") + tableHelp + lockHelp +
    "\n"
    "Exit status: 0 when listed; 1 when the configuration, the lock or the\n"
    "library failed (the library's own text goes to standard error).\n";

const std::string infoHelp = std::string(
    "usage: qmx4-fwctl info [--index N] [--table|--tsv|--json] [--lock-dir DIR] [BASE]\n"
    "\n"
    "Lists every attached device (or the one at index N) with its index, name,\n"
    "state and ids, and what it says when opened: serial number, firmware\n"
    "version, variant (text and number), user id and largest transfer size. It\n"
    "waits for a running pass, opens each device only for these reads, never\n"
    "downloads and writes no log. A device that cannot be opened shows the\n"
    "library's text, and the others are still read.\n"
    "\n") + tableHelp + lockHelp +
    "\n"
    "Exit status: 0 when every device was read; 1 otherwise.\n";

const std::string setUserIdHelp = std::string(
    "usage: qmx4-fwctl set-user-id [--lock-dir DIR] INDEX TEXT [BASE]\n"
    "\n"
    "Stores TEXT as the user id of the device at INDEX (as info lists it), a\n"
    "label such as a rack position, reads it back and prints it. It waits for\n"
    "a running pass first.\n"
    "\n") + lockHelp +
    "\n"
    "Exit status: 0 when stored and read back; 1 otherwise.\n";

const char* const rulesHelp =
    "usage: qmx4-fwctl rules [--output FILE] [--generic] [BASE]\n"
    "\n"
    "Prints a udev rules file that starts a pass only when a USB device of a\n"
    "type configured in BASE/data/service.xml arrives. Entries whose ids\n"
    "cannot be USB ids get no rule and a warning. Without a single rule to\n"
    "write it writes nothing and fails: an empty rules file in place of the\n"
    "generic rule would switch hotplug off. With --output the file is replaced\n"
    "only once it is complete, and only if it is a regular file (a symbolic\n"
    "link is followed). For example:\n"
    "\n"
    "  qmx4-fwctl rules --output /etc/udev/rules.d/60-qmx4-fwload.rules /var/lib/qmx4-fwload\n"
    "  udevadm control --reload\n"
    "\n"
    "  --output FILE       write FILE instead of standard output (-)\n"
    "  --generic           the packaged rule instead: a pass for every USB device\n"
    "\n"
    "Exit status: 0 when written; 1 when the configuration or the file failed,\n"
    "or there was no rule to write.\n";

const std::string metricsHelp = std::string(
    "usage: qmx4-fwctl metrics [--record RESULT,DOWNLOADS,SECONDS] [--output FILE]\n"
    "                          [--lock-dir DIR | --no-lock] [BASE]\n"
    "\n"
    "Prints the firmware passes and the devices attached now in Prometheus' text\n"
    "format: the end, result and duration of the last pass, the passes and\n"
    "downloads so far (counters), and the devices by what a pass would do with\n"
    "them. With --output the counters are read from FILE and FILE is replaced\n"
    "whole. Each pass does this through qmx4-fwload-pass, with --record, into the\n"
    "node exporter's directory for such files.\n"
    "\n"
    "  --record R,N,S      add a pass: R success or failure, N devices downloaded,\n"
    "                      S seconds it took\n"
    "  --output FILE       write FILE instead of standard output (-)\n"
    + std::string(lockHelp) +
    "  --no-lock           the caller holds the passes' lock (a pass does)\n"
    "\n"
    "Exit status: 0 when written; 1 when the devices could not be listed (the\n"
    "passes are written without them) or the file failed.\n");

struct Command {
    const char* name;
    const char* options; // the options it takes, by name
    size_t arguments;    // how many arguments of its own come before BASE
    std::string help;
    int (*run)(const Options&, std::ostream&, std::ostream&);
};

const Command commands[] = {
    {"check", "table json strict", 0, checkHelp, check},
    {"list", "table json lock-dir wait", 0, listHelp, list},
    {"info", "table json lock-dir wait index", 0, infoHelp, info},
    {"set-user-id", "lock-dir wait", 2, setUserIdHelp, setUserId},
    {"rules", "output generic", 0, rulesHelp, rules},
    {"metrics", "output lock-dir wait record no-lock", 0, metricsHelp, metrics},
};

// A device index: a decimal number from 0; -1 for anything else.
int deviceIndex(const std::string& text)
{
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end || text[0] == '-' || text[0] == '+' || n > 1000000 ? -1 : static_cast<int>(n);
}

// Parses a command's arguments into `o`; returns the problem with them, or
// "" when there is none.
std::string parse(const std::vector<std::string>& args, const Command& c, Options& o, bool& help)
{
    const std::string accepted = c.options;
    const auto takes = [&](const char* option) { return accepted.find(option) != std::string::npos; };
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help")
            help = true;
        else if ((a == "--table" || a == "--tsv") && takes("table"))
            o.table = a == "--table", o.json = false;
        else if (a == "--json" && takes("json"))
            o.json = true;
        else if (a == "--strict" && takes("strict"))
            o.strict = true;
        else if (a == "--index" && hasValue && takes("index")) {
            if ((o.index = deviceIndex(args[++i])) < 0)
                return "--index takes a device index (0, 1, ...), not " + report::excerpt(args[i]);
        } else if ((a == "--output" || a == "-o") && hasValue && takes("output") && !args[i + 1].empty())
            o.output = args[++i];
        else if (a == "--generic" && takes("generic"))
            o.generic = true;
        else if (a == "--lock-dir" && hasValue && takes("lock-dir")) {
            if (!passlock_valid((o.lockDir = args[++i]).c_str()))
                return "--lock-dir takes an absolute directory, not '" + report::excerpt(o.lockDir) + "'";
        } else if (a == "--wait" && hasValue && takes("wait")) {
            if ((o.wait = deviceIndex(args[++i])) < 0 || o.wait > 86400)
                return "--wait takes 0 to 86400 seconds, not " + report::excerpt(args[i]);
        }
        else if (a == "--no-lock" && takes("no-lock"))
            o.noLock = true;
        else if (a == "--record" && hasValue && takes("record")) {
            o.record = args[++i];
            try {
                prometheus::parsePass(o.record);
            } catch (const std::invalid_argument& e) {
                return e.what();
            }
        } else if (!a.empty() && a[0] == '-' && positional.size() >= c.arguments)
            return "unknown option or missing value: " + report::excerpt(a);
        else
            positional.push_back(a);
    }
    if (help)
        return std::string();
    if (positional.size() < c.arguments)
        return "missing arguments (see --help)";
    if (positional.size() > c.arguments + 1)
        return "more than one base directory";
    o.arguments.assign(positional.begin(), positional.begin() + static_cast<long>(c.arguments));
    if (positional.size() > c.arguments)
        o.base = positional.back();
    if (c.arguments > 0 && (o.index = deviceIndex(o.arguments[0])) < 0)
        return "not a device index (0, 1, ...): " + report::excerpt(o.arguments[0]);
    return std::string();
}

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

int wrongUsage(const std::string& problem, std::ostream& err)
{
    err << "qmx4-fwctl: " << problem << '\n' << usage << '\n';
    return 2;
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal)
{
    const std::string command = args.empty() ? "" : args[0];
    if (command == "--help" || command == "-h")
        return out << mainHelp, 0;
    for (const auto& c : commands) {
        if (command != c.name)
            continue;
        Options o;
        o.table = terminal;
        o.lockDir = PASSLOCK_DIR;
        bool help = false;
        const std::string problem = parse({args.begin() + 1, args.end()}, c, o, help);
        if (!problem.empty())
            return wrongUsage(command + ": " + problem, err);
        if (help)
            return out << c.help, 0;
        try {
            requireDirectory(o.base);
            return c.run(o, out, err);
        } catch (const std::exception& e) {
            err << failureLine(e) << '\n';
            // A script asking for JSON gets a document whatever happened.
            if (o.json) {
                const auto* refused = dynamic_cast<const Failure*>(&e);
                out << json::Object()("error", json::text(e.what()))(
                           "refused", refused && refused->refusal ? json::text(e.what()) : json::null)
                           .str()
                    << '\n';
            }
        }
        return 1;
    }
    return wrongUsage(command.empty() ? "no command given" : "unknown command: " + report::excerpt(command), err);
}

} // namespace fwctl
