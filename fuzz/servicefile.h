#ifndef FUZZ_SERVICEFILE_H
#define FUZZ_SERVICEFILE_H

// The fuzzers that read a configuration: a scratch base directory (made
// once, with a firmware file, and removed when the fuzzer exits: libFuzzer
// ends a run with exit()) whose data/service.xml holds the input.

#include "testutil.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace fuzz {

// Writes the input as <base>/data/service.xml and returns the base.
inline std::string serviceFile(const uint8_t* data, size_t size)
{
    static const testutil::TempDir base;
    static const bool made = [] {
        mkdir((base / "data").c_str(), 0700);
        testutil::writeFile(base / "data/loader.bin", "firmware");
        return true;
    }();
    (void)made;
    FILE* file = std::fopen((base / "data/service.xml").c_str(), "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    return base.path;
}

} // namespace fuzz

#endif
