// The command line of qmx4-fwctl: its help texts, its options and which
// command runs.

#include "fwctl.h"

#include "commands.h"
#include "metrics.h"
#include "passlock.h"
#include "session.h"

#include <ostream>

namespace fwctl {

namespace {

const char* const usage = "usage: qmx4-fwctl {check|list|rules|metrics} [options] [BASE]; qmx4-fwctl [command] --help";

const char* const mainHelp =
    "usage: qmx4-fwctl <command> [options] [BASE]\n"
    "\n"
    "The administrator's companion to qmx4-fwload. BASE is the base directory\n"
    "whose data/service.xml is read (default: the working directory, like\n"
    "qmx4-fwload); a configuration qmx4-fwload refuses is refused with its text.\n"
    "\n"
    "commands:\n"
    "  check   report the configured device types and whether each can be served\n"
    "  list    list the attached devices and what a pass would do with each\n"
    "  rules   write a udev rules file for the configured device types\n"
    "  metrics write the passes and the attached devices for Prometheus\n"
    "\n"
    "'qmx4-fwctl <command> --help' describes a command.\n";

const char* const tableHelp =
    "  --table             aligned columns under a header (default on a terminal)\n"
    "  --tsv               tab-separated lines without a header (default otherwise)\n";

const std::string checkHelp = std::string(
    "usage: qmx4-fwctl check [--table|--tsv] [BASE]\n"
    "\n"
    "Reports every entry of BASE/data/service.xml: its name, ids in hex and\n"
    "decimal, type, firmware path, and \"ok\" or what keeps a pass from serving\n"
    "it: a firmware file that is missing, no regular file, unreadable or empty,\n"
    "ids that cannot be USB ids, or an earlier entry with the same ids. It\n"
    "touches no device and no log.\n"
    "\n") + tableHelp + "\n"
    "Exit status: 0 when every entry can be served, 1 otherwise.\n";

const std::string listHelp = std::string(
    "usage: qmx4-fwctl list [--table|--tsv] [--lock-dir DIR] [BASE]\n"
    "\n"
    "Opens a session of the device library in BASE, lists every attached\n"
    "device with its index, name, state and ids, and what a pass would do with\n"
    "it, and closes the session. It waits for a running pass first and holds\n"
    "the passes off meanwhile. It opens no device, downloads nothing and\n"
    "writes no log.\n"
    "\n") + tableHelp +
    "  --lock-dir DIR      where the passes' lock lives (default " PASSLOCK_DIR ")\n"
    "\n"
    "Exit status: 0 when listed; 1 when the configuration, the lock or the\n"
    "library failed (the library's own text goes to standard error).\n";

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
    "  --lock-dir DIR      where the passes' lock lives (default " PASSLOCK_DIR ")\n"
    "  --no-lock           the caller holds the passes' lock (a pass does)\n"
    "\n"
    "Exit status: 0 when written; 1 when the devices could not be listed (the\n"
    "passes are written without them) or the file failed.\n");

struct Command {
    const char* name;
    const char* options; // the options it takes, by name
    std::string help;
    int (*run)(const Options&, std::ostream&, std::ostream&);
};

const Command commands[] = {
    {"check", "table", checkHelp, check},
    {"list", "table lock-dir", listHelp, list},
    {"rules", "output generic", rulesHelp, rules},
    {"metrics", "output lock-dir record no-lock", metricsHelp, metrics},
};

// Parses a command's arguments into `o`; returns the problem with them, or
// "" when there is none.
std::string parse(const std::vector<std::string>& args, const std::string& accepted, Options& o, bool& help)
{
    bool based = false;
    const auto takes = [&](const char* option) { return accepted.find(option) != std::string::npos; };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help")
            help = true;
        else if ((a == "--table" || a == "--tsv") && takes("table"))
            o.table = a == "--table";
        else if ((a == "--output" || a == "-o") && hasValue && takes("output") && !args[i + 1].empty())
            o.output = args[++i];
        else if (a == "--generic" && takes("generic"))
            o.generic = true;
        else if (a == "--lock-dir" && hasValue && takes("lock-dir"))
            o.lockDir = args[++i];
        else if (a == "--no-lock" && takes("no-lock"))
            o.noLock = true;
        else if (a == "--record" && hasValue && takes("record")) {
            o.record = args[++i];
            try {
                metrics::parsePass(o.record);
            } catch (const std::invalid_argument& e) {
                return e.what();
            }
        }
        else if (!a.empty() && a[0] == '-')
            return "unknown option or missing value: " + a;
        else if (!based)
            o.base = a, based = true;
        else
            return "more than one base directory";
    }
    return std::string();
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
        const std::string problem = parse({args.begin() + 1, args.end()}, c.options, o, help);
        if (!problem.empty())
            return wrongUsage(command + ": " + problem, err);
        if (help)
            return out << c.help, 0;
        try {
            return c.run(o, out, err);
        } catch (const Failure& f) {
            err << "qmx4-fwctl: " << f.message << '\n';
        } catch (const std::exception& e) {
            // The library's own text, as the downloader prints it.
            err << e.what() << '\n';
        }
        return 1;
    }
    return wrongUsage(command.empty() ? "no command given" : "unknown command: " + command, err);
}

} // namespace fwctl
