#ifndef SERVICELIB_UDEVRULES_H
#define SERVICELIB_UDEVRULES_H

// A udev rules file that starts the hotplug pass only for USB devices of a
// configured type, in place of the generic rule that fires for every one.

#include "servicelib.h"

#include <string>
#include <vector>

namespace udevrules {

// The rules file for these device types, read from `source` (named in its
// heading): one rule per distinct vendor and product id pair, matched on
// `add` of a usb_device as sysfs shows the ids (4660 -> "1234"). Entries
// whose ids cannot be USB ids (outside 1..65535) get no rule; a sentence
// for each is appended to `warnings`.
std::string render(const std::vector<servicelib::DeviceEntry>& entries, const std::string& source,
                   std::vector<std::string>& warnings);

} // namespace udevrules

#endif
