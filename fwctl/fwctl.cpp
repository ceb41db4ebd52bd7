// qmx4-fwctl: the administrator's companion to qmx4-fwload. `check` reports
// the configured device types and whether each can be served, `list` what a
// pass would do with each attached device, `rules` writes a udev rules file
// for the configured device types. Exit status 0 on success, 1 on failure
// (or, for check, an entry that cannot be served), 2 on a wrong command line.

#include "report.h"
#include "servicelib.h"
#include "udevrules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const usage = "usage: qmx4-fwctl {check|list|rules} [options] [BASE]; qmx4-fwctl [command] --help";

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
    "  --lock-dir DIR      where the passes' locks live (default /run/qmx4-fwload)\n"
    "\n"
    "Exit status: 0 when listed; 1 when the configuration, the lock or the\n"
    "library failed (the library's own text goes to standard error).\n";

const char* const rulesHelp =
    "usage: qmx4-fwctl rules [--output FILE] [BASE]\n"
    "\n"
    "Prints a udev rules file that starts a pass only when a USB device of a\n"
    "type configured in BASE/data/service.xml arrives. Entries whose ids\n"
    "cannot be USB ids get no rule and a warning. With --output the file is\n"
    "replaced only once it is complete. For example:\n"
    "\n"
    "  qmx4-fwctl rules --output /etc/udev/rules.d/60-qmx4-fwload.rules /var/lib/qmx4-fwload\n"
    "  udevadm control --reload\n"
    "\n"
    "Exit status: 0 when written, 1 when the configuration or the file failed.\n";

struct Options {
    std::string base, output, lockDir = "/run/qmx4-fwload";
    bool table = isatty(STDOUT_FILENO) == 1;
    bool help = false;
};

// Parses a command's arguments; `accepted` names the options it takes.
// Returns the problem with them, or "" when there is none.
std::string parse(const std::vector<std::string>& args, const std::string& accepted, Options& o)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help")
            o.help = true;
        else if ((a == "--table" || a == "--tsv") && accepted.find("table") != std::string::npos)
            o.table = a == "--table";
        else if ((a == "--output" || a == "-o") && hasValue && accepted.find("output") != std::string::npos)
            o.output = args[++i];
        else if (a == "--lock-dir" && hasValue && accepted.find("lock-dir") != std::string::npos)
            o.lockDir = args[++i];
        else if (!a.empty() && a[0] == '-')
            return "unknown option or missing value: " + a;
        else if (o.base.empty())
            o.base = a;
        else
            return "more than one base directory";
    }
    if (o.base.empty())
        o.base = "./";
    return std::string();
}

int wrongUsage(const std::string& problem)
{
    std::cerr << "qmx4-fwctl: " << problem << '\n' << usage << '\n';
    return 2;
}

// The configured entries as the downloader reads them; false (the refusal
// on standard error, in the downloader's words) when it would refuse them.
bool readEntries(const std::string& base, std::vector<servicelib::DeviceEntry>& entries)
{
    try {
        entries = servicelib::readDeviceEntries(base);
        return true;
    } catch (const std::exception& e) {
        std::cerr << servicelib::configurationFailure(base, e.what()) << '\n';
        return false;
    }
}

// Replaces `path` with `content` through a temporary file beside it, so
// that the file is never seen half-written.
bool writeWhole(const std::string& path, const std::string& content)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
    }
    return ok;
}

int rules(const Options& o)
{
    std::vector<servicelib::DeviceEntry> entries;
    if (!readEntries(o.base, entries))
        return 1;
    std::vector<std::string> warnings;
    const std::string text = udevrules::render(entries, o.base + "/data/service.xml", warnings);
    for (const auto& warning : warnings)
        std::cerr << "qmx4-fwctl: warning: " << warning << '\n';
    if (o.output.empty()) {
        std::cout << text << std::flush;
        return std::cout ? 0 : 1;
    }
    if (!writeWhole(o.output, text)) {
        std::cerr << "qmx4-fwctl: can't write " << o.output << ": " << std::strerror(errno) << '\n';
        return 1;
    }
    return 0;
}

int check(const Options& o)
{
    std::vector<servicelib::DeviceEntry> entries;
    if (!readEntries(o.base, entries))
        return 1;
    const report::Table report = report::checkEntries(o.base, entries);
    report::print(report, o.table, std::cout);
    return report.ok ? 0 : 1;
}

// Takes the passes' own lock, waiting for a running pass; -1 (with the
// reason on standard error) when it cannot be taken.
int holdPassLock(const std::string& lockDir)
{
    const std::string path = lockDir + "/pass";
    mkdir(lockDir.c_str(), 0755);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int locked = fd < 0 ? -1 : flock(fd, LOCK_EX | LOCK_NB);
    if (fd >= 0 && locked != 0 && errno == EWOULDBLOCK) {
        std::cerr << "qmx4-fwctl: waiting for the running pass to end\n";
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
    }
    if (locked != 0) {
        std::cerr << "qmx4-fwctl: can't lock " << path << ": " << std::strerror(errno) << '\n';
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int list(const Options& o)
{
    std::vector<servicelib::DeviceEntry> entries;
    if (!readEntries(o.base, entries))
        return 1;
    const int lock = holdPassLock(o.lockDir);
    if (lock < 0)
        return 1;
    std::vector<qmx4api::EnumeratedDevice> devices;
    int status = 0;
    try {
        qmx4api::initEx(o.base);
        devices = qmx4api::enumerate(qmx4api::AnyDevice);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        status = 1;
    }
    // Closed on every way out, even when opening failed, as a pass does.
    try {
        qmx4api::deInit();
    } catch (const std::exception& e) {
        if (status == 0)
            std::cerr << e.what() << '\n';
        status = 1;
    }
    close(lock);
    if (status == 0)
        report::print(report::planPass(entries, devices), o.table, std::cout);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
    struct Command {
        const char* name;
        const char* options;
        std::string help;
        int (*run)(const Options&);
    };
    const Command commands[] = {
        {"check", "table", checkHelp, check},
        {"list", "table lock-dir", listHelp, list},
        {"rules", "output", rulesHelp, rules},
    };
    try {
        if (command == "--help" || command == "-h")
            return std::cout << mainHelp, 0;
        for (const auto& c : commands) {
            if (command != c.name)
                continue;
            Options o;
            const std::string problem = parse(args, c.options, o);
            if (!problem.empty())
                return wrongUsage(command + ": " + problem);
            if (o.help)
                return std::cout << c.help, 0;
            return c.run(o);
        }
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here.
        std::cerr << "qmx4-fwctl: " << e.what() << '\n';
        return 1;
    }
    return wrongUsage(command.empty() ? "no command given" : "unknown command: " + command);
}
