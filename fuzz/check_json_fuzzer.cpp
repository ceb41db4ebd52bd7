// Arbitrary bytes as service.xml through `qmx4-fwctl check --json`: what it
// prints is always exactly one JSON document (checked by an independent
// parser, which also insists on valid UTF-8) and a line feed, whatever the
// file holds.

#include "fwctl.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

std::string baseDirectory()
{
    char name[] = "/tmp/check_json_fuzzer.XXXXXX";
    if (!mkdtemp(name))
        std::abort();
    const std::string base = name;
    mkdir((base + "/data").c_str(), 0700);
    // One firmware file, so that entries naming it are looked at further.
    if (FILE* firmware = std::fopen((base + "/data/loader.bin").c_str(), "wb")) {
        std::fputs("firmware", firmware);
        std::fclose(firmware);
    }
    return base;
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
    std::ostringstream out, err;
    const int status = fwctl::run({"check", "--json", base}, out, err);
    const std::string text = out.str();
    if ((status != 0 && status != 1) || text.empty() || text.back() != '\n' ||
        text.find('\n') != text.size() - 1 || !nlohmann::json::accept(text))
        std::abort();
    return 0;
}
