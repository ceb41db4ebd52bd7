#include "plan.h"

#include "gather.h"

#include <cstdlib>
#include <tuple>

namespace fwctl {
namespace plan {

namespace {

// Whether `written` (an id in service.xml, decimal) has the digits of
// `device`'s id in hex, as when ids are copied from lsusb.
bool hexDigits(int written, int device)
{
    const std::string digits = std::to_string(written);
    return written > 0 && std::strtol(digits.c_str(), nullptr, 16) == device;
}

// "entry #0 has vid 1234; this device is 0x1234 = 4660: ids in service.xml
// are decimal", for the first entry whose ids match the device's that way.
std::string hexHint(const std::vector<servicelib::DeviceEntry>& entries, const qmx4api::DeviceInfo& info)
{
    for (size_t n = 0; n < entries.size(); ++n) {
        const servicelib::DeviceEntry& e = entries[n];
        const bool vid = e.vid == info.getVid() || hexDigits(e.vid, info.getVid());
        const bool pid = e.pid == info.getPid() || hexDigits(e.pid, info.getPid());
        if (!vid || !pid)
            continue;
        std::string written, actual;
        for (const auto& [name, mine, theirs] : {std::make_tuple("vid", e.vid, info.getVid()),
                                                 std::make_tuple("pid", e.pid, info.getPid())}) {
            if (mine == theirs)
                continue;
            written += std::string(written.empty() ? "" : " and ") + name + " " + std::to_string(mine);
            actual += std::string(actual.empty() ? "" : " and ") + "0x" + report::usbId(theirs) + " = " +
                      std::to_string(theirs);
        }
        return "entry #" + std::to_string(n) + " has " + written + "; this device is " + actual +
               ": ids in service.xml are decimal";
    }
    return std::string();
}

} // namespace

std::vector<Step> predict(const std::vector<servicelib::DeviceEntry>& entries,
                          const std::vector<qmx4api::EnumeratedDevice>& devices, const std::string& baseDir)
{
    std::vector<Step> steps;
    int endsAt = -1; // the device at which the pass ends
    for (const auto& device : devices) {
        Step s{device.getIndex(), device.getInfo(), Action::SkipNotWaiting, -1, {}, {}};
        const servicelib::DeviceEntry* e = servicelib::findEntry(entries, s.info);
        if (!servicelib::waitsForFirmware(s.info.getState())) {
            s.action = Action::SkipNotWaiting;
        } else if (!e) {
            s.action = Action::SkipNoType;
            s.hint = hexHint(entries, s.info);
        } else {
            s.entry = static_cast<int>(e - entries.data());
            s.problem = endsAt >= 0 ? std::string() : gather::firmwareProblem(servicelib::firmwarePath(baseDir, e->fw), e->sha256);
            s.action = endsAt >= 0 ? Action::NotReached : s.problem.empty() ? Action::Download : Action::Fail;
            if (s.action == Action::NotReached)
                s.problem = "the pass ends at device " + std::to_string(endsAt);
            if (s.action == Action::Fail)
                endsAt = s.index;
        }
        steps.push_back(std::move(s));
    }
    return steps;
}

namespace {

std::string describe(const Step& s, const std::vector<servicelib::DeviceEntry>& entries)
{
    const auto download = [&] {
        const servicelib::DeviceEntry& e = entries[static_cast<size_t>(s.entry)];
        return "download " + e.fw + " as type " + std::to_string(e.type) + " (" + e.name + ")";
    };
    switch (s.action) {
    case Action::Download:
        return download();
    case Action::Fail:
        return download() + ": will fail, " + s.problem + "; the pass ends here";
    case Action::NotReached:
        return "not reached: " + s.problem;
    case Action::SkipNotWaiting:
        return "skip: not waiting for firmware";
    case Action::SkipNoType:
        return "skip: no configured type" + (s.hint.empty() ? "" : " (" + s.hint + ")");
    }
    return std::string();
}

const char* word(Action action)
{
    switch (action) {
    case Action::Download:
        return "download";
    case Action::Fail:
        return "fail";
    case Action::NotReached:
        return "not_reached";
    case Action::SkipNotWaiting:
        return "skip_not_waiting";
    case Action::SkipNoType:
        return "skip_no_type";
    }
    return "";
}

} // namespace

report::Table table(const std::vector<Step>& steps, const std::vector<servicelib::DeviceEntry>& entries)
{
    report::Table t;
    t.header = {"INDEX", "NAME", "STATE", "VID:PID", "A PASS WOULD"};
    for (const auto& s : steps)
        t.rows.push_back({std::to_string(s.index), s.info.getName(), report::state(s.info.getState()),
                          report::ids(s.info.getVid(), s.info.getPid()), describe(s, entries)});
    return t;
}

std::string json(const std::vector<Step>& steps, const std::vector<servicelib::DeviceEntry>& entries,
                 const std::string& retry)
{
    std::vector<std::string> devices;
    for (const auto& s : steps) {
        json::Object o;
        report::deviceFields(o, s.index, s.info);
        const auto optional = [](const std::string& text) { return text.empty() ? json::null : json::text(text); };
        o("action", json::text(word(s.action)))("text", json::text(describe(s, entries)))(
            "entry", s.entry < 0 ? json::null : json::number(s.entry))("problem", optional(s.problem))(
            "hint", optional(s.hint));
        devices.push_back(o.str());
    }
    return json::Object()("devices", json::array(devices))("retry", retry).str() + "\n";
}

} // namespace plan
} // namespace fwctl
