// The depth walk never counts fewer levels than the tree TinyXML builds.

#include "tinyxmldepth.h"
#include "xmldepth.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (xmlWalkDepth(text.data(), text.size(), 1 << 20) < tinyxmldepth::parsedDepth(text))
        std::abort();
    return 0;
}
