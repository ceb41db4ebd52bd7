#include "commands.h"

#include "cli.h"
#include "entries.h"
#include "explain.h"
#include "gather.h"
#include "history.h"
#include "output.h"
#include "plan.h"
#include "report.h"
#include "servicelib.h"
#include "session.h"
#include "udevrules.h"

#include <vector>

namespace fwctl {

std::vector<servicelib::DeviceEntry> readEntries(const std::string& base)
{
    try {
        return servicelib::readDeviceEntries(base);
    } catch (const std::exception& e) {
        throw Failure(servicelib::configurationFailure(base, e.what()), true);
    }
}

const qmx4api::EnumeratedDevice& deviceAt(const std::vector<qmx4api::EnumeratedDevice>& devices, int index)
{
    if (index < 0 || static_cast<size_t>(index) >= devices.size())
        throw Failure("no device " + std::to_string(index) + ": " + std::to_string(devices.size()) + " attached");
    return devices[static_cast<size_t>(index)];
}

namespace command {

int check(const Options& o, std::ostream& out, std::ostream& err)
{
    const explain::Configuration c = explain::examine(o.base);
    if (!c.refused.empty())
        err << c.refused << '\n';
    for (size_t n = 0; n < c.entries.size() && !o.json; ++n)
        for (const auto& fault : c.entries[n].faults)
            err << "qmx4-fwctl: entry #" << n << " (" << report::excerpt(c.entries[n].entry.name) << "): " << fault
                << '\n';
    const std::vector<entries::Row> rows = entries::rows(c, o.base);
    if (o.json) {
        out << entries::json(c, rows);
    } else {
        if (c.readable)
            report::print(entries::table(rows), o.table, out);
        for (const auto& warning : c.warnings)
            err << "qmx4-fwctl: warning: " << warning << '\n';
    }
    if (!entries::servable(c, rows))
        return 1;
    return o.strict && !c.warnings.empty() ? 1 : 0;
}

int list(const Options& o, std::ostream& out, std::ostream& err)
{
    const std::vector<servicelib::DeviceEntry> entries = readEntries(o.base);
    const std::vector<plan::Step> steps =
        withDevices(o, err, [&](const auto& devices) { return plan::predict(entries, devices, o.base); });
    const report::Retry retry = gather::retry(o.lockDir);
    if (o.json) {
        out << plan::json(steps, entries, report::retryJson(retry));
    } else {
        report::print(plan::table(steps, entries), o.table, out);
        if (const std::string note = report::retryNote(retry, report::unixTime()); !note.empty())
            err << "qmx4-fwctl: " << note << '\n';
    }
    return 0;
}

int rules(const Options& o, std::ostream& out, std::ostream& err)
{
    std::string text;
    if (o.generic) {
        text = udevrules::generic();
    } else {
        const std::vector<servicelib::DeviceEntry> entries = readEntries(o.base);
        const udevrules::Rendered rendered = udevrules::render(entries, servicelib::getConfigFileName(o.base));
        for (const auto& warning : rendered.warnings)
            err << "qmx4-fwctl: warning: " << warning << '\n';
        // A rules file without a rule, installed in place of the generic
        // one as the rules are meant to be, would switch hotplug off.
        if (rendered.rules == 0)
            throw Failure("no rules written: " + servicelib::getConfigFileName(o.base) + " has no device type " +
                          (entries.empty() ? "" : "with USB ids ") +
                          "to write a rule for; the generic rule stays in force, starting a pass for every "
                          "USB device that arrives");
        text = rendered.text;
    }
    writeOutput(o.output, text, out);
    return 0;
}

int completion(const Options& o, std::ostream& out, std::ostream&)
{
    writeOutput(o.output, cli::bashCompletion(), out);
    return 0;
}

int history(const Options& o, std::ostream& out, std::ostream&)
{
    history::Filter filter;
    filter.type = o.type;
    filter.failed = o.failed;
    if (!o.since.empty()) {
        const auto since = history::sinceUsec(o.since, static_cast<long long>(report::unixTime() * 1e6));
        if (!since)
            throw Failure("--since takes now, today, yesterday, YYYY-MM-DD [HH:MM[:SS]] or -N with s, min, h or d, "
                          "not " + report::excerpt(o.since));
        filter.sinceUsec = *since;
    }
    const std::vector<history::Download> downloads = history::read(filter);
    if (o.json)
        out << history::json(downloads);
    else
        report::print(history::table(downloads, o.table), o.table, out);
    return 0;
}

} // namespace command
} // namespace fwctl
