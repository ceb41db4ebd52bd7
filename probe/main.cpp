// qmx4-fwload-probe: opens one session of the device library in the working
// directory (the base directory), as a pass does, closes it and says how it
// went. qmx4-fwctl doctor runs it inside the passes' sandbox. It is linked
// with libqmx4-1.5.1.so exactly as qmx4-fwload is, so the dynamic loader
// treats the library as it does for a pass: one it cannot load ends this
// program with status 127 and the loader's text on standard error.
// It lists no device, opens none and writes nothing of its own.

#include "qmx4.h"
#include "qmx4api.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <iostream>

namespace {

// The verdict's lines begin with this, so that they stand apart from what
// the library prints; the last one counts.
const char* const mark = "qmx4-fwload-probe: ";

const char* const usage = "usage: qmx4-fwload-probe [--help]\n"
                          "\n"
                          "Opens and closes one session of libqmx4-1.5.1.so in the working\n"
                          "directory, as a pass of qmx4-fwload does, and says how it went:\n"
                          "exit status 0 when it did, 1 when the library failed (its text follows),\n"
                          "127 when the library could not be loaded. qmx4-fwctl doctor runs it.\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
        (help ? std::cout : std::cerr) << usage;
        return help ? 0 : 2;
    }
    try {
        qmx4api::withSession("./", [] { return 0; });
    } catch (const std::exception& e) {
        std::cout << std::flush;
        std::cerr << '\n' << mark << "failed: " << e.what() << '\n';
        return 1;
    }
    std::cout << std::flush;
    // The file the loader took, links followed.
    Dl_info loaded;
    char* file = dladdr(reinterpret_cast<void*>(&KoInitEx), &loaded) != 0 && loaded.dli_fname
                     ? realpath(loaded.dli_fname, nullptr)
                     : nullptr;
    std::cerr << '\n' << mark << "ok: a session of " << (file ? file : "the library") << " opened and closed\n";
    std::free(file);
    return 0;
}
