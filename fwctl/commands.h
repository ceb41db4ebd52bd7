#ifndef FWCTL_COMMANDS_H
#define FWCTL_COMMANDS_H

// The companion's commands, each given its parsed options and the streams
// to write to; each returns the exit status. They throw Failure (session.h)
// for their own failures and std::exception for the library's.

#include "qmx4api.h"
#include "servicelib.h"
#include "session.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fwctl {

struct Options {
    std::string base = "./";
    std::string output = "-"; // "-": standard output
    std::string lockDir;
    int wait = 60;       // seconds to wait for a running pass
    std::string record; // metrics: the pass to add, as "success,3,0.052"
    std::string ended;  // metrics: the events file of the pass that ended (ExecStopPost=)
    bool noLock = false; // the caller holds the passes' lock
    bool table = false;
    bool json = false;
    bool strict = false; // check: warnings fail too
    bool generic = false;
    int index = -1;      // info: only this device; set-user-id: this device
    std::string userId;  // set-user-id: what to store
    std::string shell;   // completion: for which shell
    std::string library; // doctor: this file instead of the one the loader finds
    std::string type;    // history: only this configured type
    std::string since;   // history: only entries since then (journalctl's syntax where practical)
    bool failed = false; // history: only failed downloads
};

// The commands, each run with its options; what each does is its --help
// (help.cpp) and its section of qmx4-fwctl(8).
namespace command {

int check(const Options& o, std::ostream& out, std::ostream& err);
int list(const Options& o, std::ostream& out, std::ostream& err);
int rules(const Options& o, std::ostream& out, std::ostream& err);
int metrics(const Options& o, std::ostream& out, std::ostream& err);
int info(const Options& o, std::ostream& out, std::ostream& err);
int setUserId(const Options& o, std::ostream& out, std::ostream& err);
int completion(const Options& o, std::ostream& out, std::ostream& err);
int doctor(const Options& o, std::ostream& out, std::ostream& err);
int history(const Options& o, std::ostream& out, std::ostream& err);

} // namespace command

// The configured entries as the downloader reads them; throws Failure
// carrying the downloader's refusal when it would refuse them.
std::vector<servicelib::DeviceEntry> readEntries(const std::string& base);

// Calls act(devices) with the attached devices, in a library session of
// their own under the passes' lock (unless the caller holds it), and
// returns what it returns. The session is closed on every way out, as a
// pass closes its own (qmx4api::withSession).
template <typename Act>
auto withDevices(const Options& o, std::ostream& err, Act act)
{
    std::optional<PassLock> lock;
    if (!o.noLock)
        lock.emplace(o.lockDir, o.wait, err);
    return qmx4api::withSession(o.base, [&] { return act(qmx4api::enumerate(qmx4api::AnyDevice)); });
}

// The device at `index` among those listed; throws Failure when there is none.
const qmx4api::EnumeratedDevice& deviceAt(const std::vector<qmx4api::EnumeratedDevice>& devices, int index);

} // namespace fwctl

#endif
