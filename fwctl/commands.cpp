#include "commands.h"

#include "metrics.h"
#include "output.h"
#include "report.h"
#include "servicelib.h"
#include "session.h"
#include "udevrules.h"

#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace fwctl {

namespace {

// The configured entries as the downloader reads them; false (the refusal
// on `err`, in the downloader's words) when it would refuse them.
bool readEntries(const std::string& base, std::vector<servicelib::DeviceEntry>& entries, std::ostream& err)
{
    try {
        entries = servicelib::readDeviceEntries(base);
        return true;
    } catch (const std::exception& e) {
        err << servicelib::configurationFailure(base, e.what()) << '\n';
        return false;
    }
}

// The attached devices, listed in a library session of their own, under
// the passes' lock unless the caller holds it.
std::vector<qmx4api::EnumeratedDevice> listDevices(const Options& o, std::ostream& err)
{
    std::optional<PassLock> lock;
    if (!o.noLock)
        lock.emplace(o.lockDir, err);
    LibrarySession session(o.base);
    std::vector<qmx4api::EnumeratedDevice> devices = qmx4api::enumerate(qmx4api::AnyDevice);
    session.close();
    return devices;
}

// The time of day, as a Unix time to the microsecond.
double now()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec / 1000) / 1e6;
}

std::string readWhole(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

int check(const Options& o, std::ostream& out, std::ostream& err)
{
    std::vector<servicelib::DeviceEntry> entries;
    if (!readEntries(o.base, entries, err))
        return 1;
    const report::Table table = report::checkEntries(o.base, entries);
    report::print(table, o.table, out);
    return table.ok ? 0 : 1;
}

int list(const Options& o, std::ostream& out, std::ostream& err)
{
    std::vector<servicelib::DeviceEntry> entries;
    if (!readEntries(o.base, entries, err))
        return 1;
    report::print(report::planPass(entries, listDevices(o, err)), o.table, out);
    return 0;
}

int rules(const Options& o, std::ostream& out, std::ostream& err)
{
    std::string text;
    if (o.generic) {
        text = udevrules::generic();
    } else {
        std::vector<servicelib::DeviceEntry> entries;
        if (!readEntries(o.base, entries, err))
            return 1;
        const udevrules::Rendered rendered = udevrules::render(entries, servicelib::getConfigFileName(o.base));
        for (const auto& warning : rendered.warnings)
            err << "qmx4-fwctl: warning: " << warning << '\n';
        // A rules file without a rule, installed in place of the generic
        // one as the rules are meant to be, would switch hotplug off.
        if (rendered.rules == 0)
            throw Failure{"no rules written: " + servicelib::getConfigFileName(o.base) + " has no device type " +
                          (entries.empty() ? "" : "with USB ids ") +
                          "to write a rule for; the generic rule stays in force, starting a pass for every "
                          "USB device that arrives"};
        text = rendered.text;
    }
    if (o.output == "-")
        out << text;
    else
        replaceFile(o.output, text);
    return 0;
}

int metrics(const Options& o, std::ostream& out, std::ostream& err)
{
    metrics::Passes passes = metrics::read(o.output == "-" ? std::string() : readWhole(o.output));
    if (!o.record.empty())
        metrics::add(passes, metrics::parsePass(o.record), now());
    // The devices as a pass would see them now; without them the passes are
    // still written, and the command fails.
    std::optional<metrics::Devices> devices;
    std::vector<servicelib::DeviceEntry> entries;
    if (readEntries(o.base, entries, err)) {
        try {
            devices = metrics::count(entries, listDevices(o, err));
        } catch (const Failure& f) {
            err << "qmx4-fwctl: " << f.message << '\n';
        } catch (const std::exception& e) {
            err << e.what() << '\n';
        }
    }
    const std::string text = metrics::render(passes, devices ? &*devices : nullptr);
    if (o.output == "-")
        out << text;
    else
        replaceFile(o.output, text);
    return devices ? 0 : 1;
}

} // namespace fwctl
