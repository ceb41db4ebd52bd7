// qmx4-fwload: one pass over the attached QMX4 devices from the working
// directory. Exit status 0 when the pass completed, 1 when the configuration
// or the pass failed (the text goes to standard error or standard output).

#include "servicelib.h"

#include <exception>
#include <iostream>
#include <string>

int main()
{
    const std::string baseDir = "./";
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
