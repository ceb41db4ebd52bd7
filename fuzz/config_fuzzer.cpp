// Arbitrary bytes as service.xml through servicelib::init: a list of device
// entries or an exception, nothing else.

#include "firmwaredigest.h"
#include "servicefile.h"
#include "servicelib.h"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        servicelib::init(fuzz::serviceFile(data, size));
        for (const auto& entry : servicelib::getDeviceEntries())
            if (entry.name.empty() || entry.fw.empty() || entry.type == -1 || entry.vid == 0 || entry.pid == 0 ||
                (entry.sha256 && !servicelib::validPin(*entry.sha256)))
                std::abort();
    } catch (const std::exception&) {
    }
    return 0;
}
