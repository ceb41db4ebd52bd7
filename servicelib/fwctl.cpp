// qmx4-fwctl: the administrator's companion to qmx4-fwload. `rules` writes a
// udev rules file for the configured device types. Exit status 0 on
// success, 1 on failure, 2 on a wrong command line.

#include "servicelib.h"
#include "udevrules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const usage = "usage: qmx4-fwctl rules [options]; qmx4-fwctl [command] --help";

const char* const mainHelp =
    "usage: qmx4-fwctl <command> [options]\n"
    "\n"
    "The administrator's companion to qmx4-fwload.\n"
    "\n"
    "commands:\n"
    "  rules   write a udev rules file for the configured device types\n"
    "\n"
    "'qmx4-fwctl <command> --help' describes a command.\n";

const char* const rulesHelp =
    "usage: qmx4-fwctl rules [--output FILE] [BASE]\n"
    "\n"
    "Reads BASE/data/service.xml (BASE: the working directory, like\n"
    "qmx4-fwload) and prints a udev rules file that starts a pass only when a\n"
    "USB device of a configured type arrives. Entries whose ids cannot be USB\n"
    "ids get no rule and a warning. A refused configuration is refused with\n"
    "qmx4-fwload's own text. With --output the file is replaced only once it\n"
    "is complete. For example:\n"
    "\n"
    "  qmx4-fwctl rules --output /etc/udev/rules.d/60-qmx4-fwload.rules /var/lib/qmx4-fwload\n"
    "  udevadm control --reload\n"
    "\n"
    "Exit status: 0 when written, 1 when the configuration or the file failed.\n";

int wrongUsage(const std::string& problem)
{
    std::cerr << "qmx4-fwctl: " << problem << '\n' << usage << '\n';
    return 2;
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

int rules(const std::vector<std::string>& args)
{
    std::string output, base;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help")
            return std::cout << rulesHelp, 0;
        if ((args[i] == "--output" || args[i] == "-o") && i + 1 < args.size())
            output = args[++i];
        else if (!args[i].empty() && args[i][0] == '-')
            return wrongUsage("rules: unknown option or missing value: " + args[i]);
        else if (base.empty())
            base = args[i];
        else
            return wrongUsage("rules: more than one base directory");
    }
    if (base.empty())
        base = "./";
    std::vector<servicelib::DeviceEntry> entries;
    try {
        entries = servicelib::readDeviceEntries(base);
    } catch (const std::exception& e) {
        std::cerr << servicelib::configurationFailure(base, e.what()) << '\n';
        return 1;
    }
    std::vector<std::string> warnings;
    const std::string text = udevrules::render(entries, base + "/data/service.xml", warnings);
    for (const auto& warning : warnings)
        std::cerr << "qmx4-fwctl: warning: " << warning << '\n';
    if (output.empty()) {
        std::cout << text << std::flush;
        return std::cout ? 0 : 1;
    }
    if (!writeWhole(output, text)) {
        std::cerr << "qmx4-fwctl: can't write " << output << ": " << std::strerror(errno) << '\n';
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "rules")
            return rules(args);
        if (command == "--help" || command == "-h")
            return std::cout << mainHelp, 0;
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here.
        std::cerr << "qmx4-fwctl: " << e.what() << '\n';
        return 1;
    }
    return wrongUsage(command.empty() ? "no command given" : "unknown command: " + command);
}
