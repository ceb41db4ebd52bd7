#ifndef FWCTL_INVENTORY_H
#define FWCTL_INVENTORY_H

// What `qmx4-fwctl info` reads from each attached device: serial number,
// firmware version and variant, user id and largest transfer size. Each
// device is opened only for these reads and closed again.

#include "report.h"

#include <string>
#include <vector>

namespace fwctl {
namespace inventory {

struct Device {
    int index = -1;
    qmx4api::DeviceInfo info;   // as listed
    bool opened = false;
    std::string error;          // why it could not be opened or closed; empty when it was
    std::string serial, firmware, variant, userId;
    int variantId = -1, maxTransfer = -1; // -1: not read
};

// Reads the devices (all, or the one at index `only` when it is not -1):
// opens each, reads what the device layer's readers give (a value they
// cannot read stays empty or -1), and closes it. A device that cannot be
// opened or closed keeps the library's text and the others are still read.
std::vector<Device> read(const std::vector<qmx4api::EnumeratedDevice>& devices, int only);

// Stores a user id in the device and returns what it reads back; throws the
// library's text when opening, writing or closing fails.
std::string setUserId(const qmx4api::EnumeratedDevice& device, const std::string& id);

report::Table table(const std::vector<Device>& devices);

std::string json(const std::vector<Device>& devices);

} // namespace inventory
} // namespace fwctl

#endif
