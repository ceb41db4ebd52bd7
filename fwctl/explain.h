#ifndef FWCTL_EXPLAIN_H
#define FWCTL_EXPLAIN_H

// service.xml as the downloader reads it, explained: why it refuses an
// entry, and everything it reads differently from what the file seems to
// say (elements and attributes it ignores, values it reads as defaults or
// cuts short). The reading itself is the service's (servicelib::readEntry).

#include "servicelib.h"

#include <string>
#include <vector>

namespace fwctl {
namespace explain {

// One <type> element directly under the root.
struct Entry {
    servicelib::DeviceEntry entry;   // as the downloader reads it
    std::vector<std::string> faults; // why it refuses the entry ("vid is missing"); empty when it takes it
};

struct Configuration {
    std::string file;               // the path read
    std::string refused;            // the downloader's refusal, as it prints it; empty when it accepts the file
    bool readable = false;          // the XML could be read at all
    bool logging = true, append = false;
    std::vector<Entry> entries;     // every one, also those after an invalid one
    std::vector<std::string> warnings; // each a sentence, naming the entry or element
};

// Reads and explains <baseDir>/data/service.xml. Never throws for what the
// file holds.
Configuration examine(const std::string& baseDir);

} // namespace explain
} // namespace fwctl

#endif
