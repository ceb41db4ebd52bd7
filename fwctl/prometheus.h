#ifndef FWCTL_PROMETHEUS_H
#define FWCTL_PROMETHEUS_H

// The passes for Prometheus: a file in the text exposition format that the
// node exporter's textfile collector serves. The file itself keeps the
// counters from pass to pass (and across restarts): each pass reads the
// last file, adds itself and writes a new one.

#include "qmx4api.h"
#include "report.h"
#include "servicelib.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fwctl {
namespace prometheus {

// What the file says about the passes so far.
struct Passes {
    bool any = false;       // a pass was recorded (the "last pass" gauges exist)
    double lastEnded = 0;   // Unix time
    bool lastSuccess = false;
    double lastSeconds = 0;
    double succeeded = 0, failed = 0, downloads = 0;
    double retries = 0; // passes that were retries of a failed one
};

// One pass, as the helper reports it: "success,3,0.052" (result, devices
// downloaded, seconds, as decimal.h reads numbers), with ",retry" when it
// retried a failed one. Throws std::invalid_argument for anything else.
struct Pass {
    bool success;
    long downloads;
    double seconds;
    bool retry;
};
Pass parsePass(const std::string& text);

// The passes of an earlier file; what it lacks counts from zero, which
// Prometheus takes as a counter reset. A file that is not one this program
// wrote (a line that is no comment and no qmx4_fwload_ sample, a value that
// is no number, a counter that is negative, fractional or not finite)
// counts from zero as a whole, with the reason in `problem`.
Passes read(const std::string& text, std::string& problem);

// Adds a pass that ended at `ended` (Unix time).
void add(Passes& passes, const Pass& pass, double ended);

// The pass an events file holds (passevents.h): none without its "begun"
// line; one without its "ended" line was killed, and failed, after
// `bootNow` minus its beginning (seconds on CLOCK_BOOTTIME). Lines it does
// not know are passed over. Sets *tries to the tries of the pass's streak.
std::optional<Pass> passOf(const std::string& events, double bootNow, int* tries);

// The attached devices by what a pass would do with them, and by the state
// the library reports (only 2 has a meaning the interface gives).
struct Devices {
    int waiting = 0; // state 2, with a configured type: a pass downloads
    int untyped = 0; // state 2, with no configured type
    int other = 0;   // in any other state
    std::map<int, int> states; // devices by state number
};
Devices count(const std::vector<servicelib::DeviceEntry>& entries,
              const std::vector<qmx4api::EnumeratedDevice>& devices);

// The firmware file a configured device type points at, and its SHA-256
// ("" when it cannot be read).
struct Firmware {
    std::string type, file, sha256;
};
// Reads each entry's firmware file in `baseDir`, as a pass would find it.
std::vector<Firmware> firmware(const std::vector<servicelib::DeviceEntry>& entries, const std::string& baseDir);

// The exposition text, from the passes, the devices (without them, the
// library could not list them, the device gauges are left out), where the
// helper's retries stand and the configured firmware files.
std::string render(const Passes& passes, const Devices* devices, const report::Retry& retry,
                   const std::vector<Firmware>& firmware = {});

} // namespace prometheus
} // namespace fwctl

#endif
