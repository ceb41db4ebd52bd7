// qmx4-fwload: one pass over the attached QMX4 devices from the working
// directory. Exit status 0 when the pass completed, 1 when the configuration
// or the pass failed (the text goes to standard error or standard output).
// It takes no arguments; --help and --version answer without a pass.

#include "passevents.h"
#include "servicelib.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace {

const char* const usage =
    "usage: qmx4-fwload [--help | --version]\n"
    "\n"
    "Makes one firmware pass over the QMX4 USB devices attached now: every\n"
    "device that reports itself unconfigured and whose vendor and product ids\n"
    "match a type configured in data/service.xml gets that type's firmware file\n"
    "from data/. The working directory is the base directory: the pass reads\n"
    "./data/service.xml, writes ./service.log and exits. It takes no arguments.\n"
    "\n"
    "On an installed system a pass by hand is 'systemctl start qmx4-fwload.service',\n"
    "which waits for a running pass; qmx4-fwload run by itself does not.\n"
    "See qmx4-fwload(8) and qmx4-fwctl(8).\n";

// Answers a command line with arguments without touching the base
// directory, the log or the library: the program's work takes none.
int answer(const char* argument)
{
    if (std::strcmp(argument, "--help") == 0)
        std::cout << usage;
    else if (std::strcmp(argument, "--version") == 0)
        std::cout << "qmx4-fwload " QMX4_VERSION "\n";
    else
        return std::cerr << "qmx4-fwload: unexpected argument: " << argument << "\n" << usage, 2;
    if (std::cout.flush())
        return 0;
    std::cerr << "qmx4-fwload: can't write standard output\n";
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 2)
        return std::cerr << "qmx4-fwload: unexpected arguments\n" << usage, 2;
    if (argc == 2)
        return answer(argv[1]);
    const std::string baseDir = "./";
    // The events channel of the program that runs the pass, if any.
    if (const char* fd = std::getenv(PASSEVENTS_ENV)) {
        char* end = nullptr;
        const long n = std::strtol(fd, &end, 10);
        if (*fd && !*end && n >= 0 && n <= INT_MAX)
            servicelib::reportEventsTo(static_cast<int>(n));
    }
    try {
        try {
            servicelib::init(baseDir);
        } catch (const std::exception& e) {
            servicelib::log(e.what());
            std::cerr << servicelib::configurationFailure(baseDir, e.what()) << '\n' << std::flush;
            return 1;
        }
        servicelib::log("Norvel QMX4 Usb Device Firmware Downloader starting ...");
        try {
            servicelib::download();
        } catch (const std::exception& e) {
            servicelib::log(e.what());
            std::cout << e.what() << '\n' << std::flush;
            return 1;
        }
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here; end in order all the same.
        std::cerr << e.what() << '\n' << std::flush;
        return 1;
    }
    return 0;
}
