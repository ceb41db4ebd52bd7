#include "commands.h"

#include "output.h"
#include "report.h"
#include "servicelib.h"
#include "session.h"
#include "udevrules.h"

#include <cerrno>
#include <cstring>
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
        std::vector<std::string> warnings;
        text = udevrules::render(entries, servicelib::getConfigFileName(o.base), warnings);
        for (const auto& warning : warnings)
            err << "qmx4-fwctl: warning: " << warning << '\n';
    }
    if (o.output.empty()) {
        out << text;
        return 0;
    }
    if (!replaceFile(o.output, text))
        throw Failure{"can't write " + o.output + ": " + std::strerror(errno)};
    return 0;
}

} // namespace fwctl
