// qmx4-fwctl doctor's reading of a library's ELF headers on any bytes: no
// crash, no read out of bounds, and a result that says what it read.

#include "elfinfo.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fwctl::ElfInfo info = fwctl::readElf(reinterpret_cast<const char*>(data), size);
    // A file it could not read says why; one it read has a word size.
    if (info.error.empty() && info.bits != 32 && info.bits != 64)
        std::abort();
    for (const std::string& name : info.needed)
        if (name.size() > size)
            std::abort();
    return 0;
}
