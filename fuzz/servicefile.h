#ifndef FUZZ_SERVICEFILE_H
#define FUZZ_SERVICEFILE_H

// The fuzzers that read a configuration: a scratch base directory (made
// once, with a firmware file) whose data/service.xml holds the input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace fuzz {

// Writes the input as <base>/data/service.xml and returns the base.
inline std::string serviceFile(const uint8_t* data, size_t size)
{
    static const std::string base = [] {
        char name[] = "/tmp/qmx4-fuzz.XXXXXX";
        if (!mkdtemp(name))
            std::abort();
        mkdir((std::string(name) + "/data").c_str(), 0700);
        if (FILE* firmware = std::fopen((std::string(name) + "/data/loader.bin").c_str(), "wb")) {
            std::fputs("firmware", firmware);
            std::fclose(firmware);
        }
        return std::string(name);
    }();
    FILE* file = std::fopen((base + "/data/service.xml").c_str(), "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    return base;
}

} // namespace fuzz

#endif
