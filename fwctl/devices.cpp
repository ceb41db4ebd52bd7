// The companion's commands that open devices or write for Prometheus:
// info, set-user-id and metrics.

#include "commands.h"

#include "gather.h"
#include "inventory.h"
#include "prometheus.h"
#include "output.h"
#include "passjournal.h"

#include "qmx4.h"
#include "markers.h"
#include "regularfile.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <ctime>

namespace fwctl {

namespace {

// The passes so far, from the file that --output replaces: read only from
// a regular file (a FIFO or a device there is refused before anything
// waits on it, as replacing it would be); a missing file, one larger than
// 1 MiB or one this program did not write counts from zero, said on `err`,
// and is replaced.
prometheus::Passes earlierPasses(const std::string& path, std::ostream& err)
{
    if (path == "-")
        return {};
    std::string text, why;
    const int read = regularfile::readWhole(path, text, why, 1 << 20);
    if (read == -1 && errno == ENOENT)
        return {};
    if (read == -2)
        throw Failure("refusing to replace " + report::printable(path) + ": " + why);
    if (read == -3)
        err << "qmx4-fwctl: warning: ignoring the counters in " << report::printable(path) << ": " << why
            << "; they start again from zero\n";
    else if (read != 0)
        throw Failure("can't read the counters of " + report::printable(path) + ": " + why);
    std::string problem;
    const prometheus::Passes passes = read == 0 ? prometheus::read(text, problem) : prometheus::Passes();
    if (!problem.empty())
        err << "qmx4-fwctl: warning: ignoring the counters in " << report::printable(path) << ": " << problem
            << "; they start again from zero\n";
    return passes;
}

} // namespace

namespace command {

namespace {

// After the service: the pass and how the service ended, structured in the
// journal (passjournal.h), whether or not the node exporter is there. Only
// when systemd runs this (as the unit's ExecStopPost=, INVOCATION_ID set):
// a run by hand or a test writes nothing into the system's journal.
void journalPass(const std::string& events, int tries, const std::optional<prometheus::Pass>& pass, bool gaveUp)
{
    if (!std::getenv("INVOCATION_ID"))
        return;
    passjournal::Ended ended;
    ended.passed = pass.has_value();
    ended.success = pass && pass->success;
    ended.downloads = pass ? static_cast<int>(pass->downloads) : 0;
    ended.tries = tries;
    ended.gaveUp = gaveUp;
    passjournal::send(passjournal::entries(passjournal::deviceEvents(events), ended));
}

} // namespace

int metrics(const Options& o, std::ostream& out, std::ostream& err)
{
    // After the service: the pass its events file holds, and how the
    // service ended, which tells whether a retry is due.
    std::optional<prometheus::Pass> pass;
    report::Retry retry;
    if (!o.ended.empty()) {
        std::string events, why;
        int tries = markers_tries(o.lockDir.c_str());
        timespec boot{};
        clock_gettime(CLOCK_BOOTTIME, &boot);
        regularfile::readWhole(o.ended, events, why, 1 << 20);
        pass = prometheus::passOf(events, boot.tv_sec + boot.tv_nsec / 1e9, &tries);
        retry = gather::retryAfter(std::getenv("EXIT_CODE"), std::getenv("EXIT_STATUS"), tries,
                                   std::getenv("QMX4_RETRY_DELAYS"), report::unixTime());
        journalPass(events, tries, pass, retry.kind == report::Retry::GaveUp);
        // Nothing more to do where the node exporter's directory is
        // missing; the events file goes once it is read.
        struct stat info;
        const std::string dir = o.output.substr(0, o.output.rfind('/') + 1);
        if (stat((dir.empty() ? "." : dir).c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return unlink(o.ended.c_str()), 0;
    } else {
        // Before this command takes the lock, which it would take for a
        // pass's: a retry waiting for its delay holds none.
        retry = gather::retry(o.lockDir);
    }
    // The counters are read, added to and written back under the passes'
    // lock, so that no update is lost.
    std::optional<PassLock> lock;
    if (!o.noLock)
        lock.emplace(o.lockDir, o.wait, err);
    Options held = o;
    held.noLock = true;
    prometheus::Passes passes = earlierPasses(o.output, err);
    if (!o.record.empty())
        prometheus::add(passes, prometheus::parsePass(o.record), report::unixTime());
    if (pass)
        prometheus::add(passes, *pass, report::unixTime());
    // The devices as a pass would see them now; without them the passes are
    // still written, and the command fails.
    std::optional<prometheus::Devices> devices;
    std::vector<prometheus::Firmware> firmware;
    try {
        const std::vector<servicelib::DeviceEntry> entries = readEntries(o.base);
        firmware = prometheus::firmware(entries, o.base);
        devices = withDevices(held, err, [&](const auto& listed) { return prometheus::count(entries, listed); });
    } catch (const std::exception& e) {
        err << failureLine(e) << '\n';
    }
    writeOutput(o.output, prometheus::render(passes, devices ? &*devices : nullptr, retry, firmware), out);
    if (!o.ended.empty())
        unlink(o.ended.c_str());
    return devices ? 0 : 1;
}

int info(const Options& o, std::ostream& out, std::ostream& err)
{
    const std::vector<inventory::Device> devices = withDevices(o, err, [&](const auto& listed) {
        if (o.index >= 0)
            deviceAt(listed, o.index);
        return inventory::read(listed, o.index);
    });
    if (o.json)
        out << inventory::json(devices);
    else
        report::print(inventory::table(devices), o.table, out);
    for (const auto& d : devices)
        if (!d.error.empty())
            return 1;
    return 0;
}

int setUserId(const Options& o, std::ostream& out, std::ostream& err)
{
    const std::string& id = o.userId;
    // The library reads a user id from a block of QMX4_TEXT_SIZE bytes that
    // ends with its terminator.
    if (id.size() >= QMX4_TEXT_SIZE)
        throw Failure("a user id has at most " + std::to_string(QMX4_TEXT_SIZE - 1) + " bytes; \"" +
                      report::excerpt(id) + "\" has " + std::to_string(id.size()));
    std::string name;
    const std::string readBack = withDevices(o, err, [&](const auto& listed) {
        const qmx4api::EnumeratedDevice& device = deviceAt(listed, o.index);
        name = report::excerpt(device.getInfo().getName());
        return inventory::setUserId(device, id);
    });
    if (readBack != id)
        throw Failure("device " + std::to_string(o.index) + " (" + name + ") reads back user id \"" +
                      report::excerpt(readBack) + "\" instead");
    out << "device " << o.index << " (" << name << "): user id \"" << report::printable(readBack) << "\"\n";
    return 0;
}

} // namespace command
} // namespace fwctl
