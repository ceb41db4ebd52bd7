// The depth guard against TinyXML's own tree: never less deep on any input,
// and exactly as deep on every input TinyXML parses without an error.

#include "tinyxmldepth.h"
#include "xmldepth.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const tinyxmldepth::Parsed tinyxml = tinyxmldepth::parse(text);
    const int guard = xmlNestingDepth(tinyxmldepth::padded(text).c_str(), 1 << 20);
    if (guard < tinyxml.depth || (tinyxml.accepted && guard != tinyxml.depth))
        std::abort();
    return 0;
}
