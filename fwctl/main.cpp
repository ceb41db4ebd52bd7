// qmx4-fwctl: the administrator's companion to qmx4-fwload (see fwctl.h).

#include "fwctl.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char** argv)
{
    try {
        return fwctl::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
                          isatty(STDOUT_FILENO) == 1);
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here.
        std::cerr << "qmx4-fwctl: " << e.what() << '\n';
        return 1;
    }
}
