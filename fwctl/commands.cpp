#include "commands.h"

#include "output.h"
#include "report.h"
#include "servicelib.h"
#include "session.h"
#include "udevrules.h"

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
    std::vector<qmx4api::EnumeratedDevice> devices;
    {
        const PassLock lock(o.lockDir, err);
        LibrarySession session(o.base);
        devices = qmx4api::enumerate(qmx4api::AnyDevice);
        session.close();
    }
    report::print(report::planPass(entries, devices), o.table, out);
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

} // namespace fwctl
