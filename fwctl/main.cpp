// qmx4-fwctl: the administrator's companion to qmx4-fwload (see fwctl.h).

#include "fwctl.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv)
{
    int status;
    try {
        status = fwctl::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
                            isatty(STDOUT_FILENO) == 1);
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here.
        std::cerr << "qmx4-fwctl: " << e.what() << '\n';
        return 1;
    }
    // Output that did not arrive (a full disk, an I/O error) is a failure. A
    // reader that went away (| head) ends the command by SIGPIPE, or here
    // with EPIPE, quietly.
    errno = 0;
    if (!std::cout.flush()) {
        if (errno != EPIPE)
            std::cerr << "qmx4-fwctl: can't write standard output: " << std::strerror(errno ? errno : EIO) << '\n';
        return 1;
    }
    return status;
}
