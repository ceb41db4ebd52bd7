// The companion's commands that open devices or write for Prometheus:
// info, set-user-id and metrics.

#include "commands.h"

#include "inventory.h"
#include "metrics.h"
#include "output.h"

#include <ctime>
#include <fstream>
#include <sstream>

namespace fwctl {

namespace {

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
            devices = withDevices(o, err, [&](const auto& listed) { return metrics::count(entries, listed); });
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
    const std::string& id = o.arguments[1];
    std::string name;
    const std::string readBack = withDevices(o, err, [&](const auto& listed) {
        const qmx4api::EnumeratedDevice& device = deviceAt(listed, o.index);
        name = report::printable(device.getInfo().getName());
        return inventory::setUserId(device, id);
    });
    if (readBack != id)
        throw Failure{"device " + std::to_string(o.index) + " (" + name + ") reads back user id \"" +
                      report::printable(readBack) + "\" instead"};
    out << "device " << o.index << " (" << name << "): user id \"" << report::printable(readBack) << "\"\n";
    return 0;
}

} // namespace fwctl
