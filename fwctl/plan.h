#ifndef FWCTL_PLAN_H
#define FWCTL_PLAN_H

// What `qmx4-fwctl list` predicts: what a pass would do with each attached
// device, and where it will fail before the library is even asked.

#include "report.h"
#include "servicelib.h"

#include <string>
#include <vector>

namespace fwctl {
namespace plan {

enum class Action {
    Download,       // the pass downloads the entry's firmware
    Fail,           // it would, but the firmware file cannot be loaded: the pass ends here
    NotReached,     // it would, but an earlier device ends the pass
    SkipNotWaiting, // the device's state is not 2: it does not wait for firmware
    SkipNoType,     // no entry has its ids
};

struct Step {
    int index;
    qmx4api::DeviceInfo info;
    Action action;
    int entry = -1;      // the entry a pass uses for it, or -1
    std::string problem; // Fail: why; NotReached: the device the pass ends at
    std::string hint;    // SkipNoType: an entry with the device's ids written as hex digits
};

// The steps of a pass over these devices, as the pass would take them
// (servicelib::findEntry, waitsForFirmware), with the firmware files looked
// at under `baseDir`.
std::vector<Step> predict(const std::vector<servicelib::DeviceEntry>& entries,
                          const std::vector<qmx4api::EnumeratedDevice>& devices, const std::string& baseDir);

report::Table table(const std::vector<Step>& steps, const std::vector<servicelib::DeviceEntry>& entries);

// The JSON document: the devices and `retry`, a JSON value already written.
std::string json(const std::vector<Step>& steps, const std::vector<servicelib::DeviceEntry>& entries,
                 const std::string& retry);

} // namespace plan
} // namespace fwctl

#endif
