#ifndef FWCTL_UDEVRULES_H
#define FWCTL_UDEVRULES_H

// The udev rules that start firmware passes: the generic rules file, which
// reacts to every USB device that arrives (the package ships it, made by
// the build from generic()), and rules for the configured device types
// only, which take its place.

#include "servicelib.h"

#include <string>
#include <vector>

namespace udevrules {

// The generic rules file: a pass for every USB device that arrives.
std::string generic();

// The rules file for these device types, read from `source` (named in its
// heading): one rule per distinct vendor and product id pair, matched on
// `add` of a usb_device as sysfs shows the ids (4660 -> "1234"). Entries
// whose ids cannot be USB ids (outside 1..65535) get no rule; a sentence
// for each is appended to `warnings`.
std::string render(const std::vector<servicelib::DeviceEntry>& entries, const std::string& source,
                   std::vector<std::string>& warnings);

} // namespace udevrules

#endif
