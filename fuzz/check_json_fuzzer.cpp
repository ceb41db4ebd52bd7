// Arbitrary bytes as service.xml through `qmx4-fwctl check --json`: what it
// prints is always exactly one JSON document (checked by an independent
// parser, which also insists on valid UTF-8) and a line feed, whatever the
// file holds.

#include "fwctl.h"
#include "servicefile.h"

#include <nlohmann/json.hpp>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string base = fuzz::serviceFile(data, size);
    std::ostringstream out, err;
    const int status = fwctl::run({"check", "--json", base}, out, err);
    const std::string text = out.str();
    if ((status != 0 && status != 1) || text.empty() || text.back() != '\n' ||
        text.find('\n') != text.size() - 1 || !nlohmann::json::accept(text))
        std::abort();
    return 0;
}
