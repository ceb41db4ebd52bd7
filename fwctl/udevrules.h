#ifndef FWCTL_UDEVRULES_H
#define FWCTL_UDEVRULES_H

// The udev rules that start firmware passes: the generic rules file, which
// reacts to every USB device that arrives (the package ships it, made by
// the build from generic()), and rules for the configured device types
// only, which take its place.

#include "servicelib.h"

#include <string>
#include <vector>

namespace fwctl {
namespace udevrules {

// The generic rules file: a pass for every USB device that arrives.
std::string generic();

struct Rendered {
    std::string text;
    int rules = 0;                     // how many rules it holds
    std::vector<std::string> warnings; // a sentence for each entry left out
};

// The rules file for these device types, read from `source` (named in its
// heading): one rule per distinct vendor and product id pair, matched on
// `add` of a usb_device as sysfs shows the ids (4660 -> "1234"). Entries
// whose ids cannot be USB ids (outside 1..65535) get no rule and a warning.
Rendered render(const std::vector<servicelib::DeviceEntry>& entries, const std::string& source);

} // namespace udevrules
} // namespace fwctl

#endif
