// Arbitrary bytes as service.xml through servicelib::init: a list of device
// entries or an exception, nothing else.

#include "servicelib.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <sys/stat.h>

namespace {

std::string baseDirectory()
{
    char name[] = "/tmp/config_fuzzer.XXXXXX";
    if (!mkdtemp(name))
        std::abort();
    mkdir((std::string(name) + "/data").c_str(), 0700);
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string base = baseDirectory();
    FILE* file = std::fopen((base + "/data/service.xml").c_str(), "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    try {
        servicelib::init(base);
        for (const auto& entry : servicelib::getDeviceEntries())
            if (entry.name.empty() || entry.fw.empty() || entry.type == -1 || entry.vid == 0 || entry.pid == 0)
                std::abort();
    } catch (const std::exception&) {
    }
    return 0;
}
