#include "report.h"

#include "json.h"
#include "servicelib.h"

#include "markers.h"
#include "textescape.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstring>

namespace fwctl {
namespace report {

std::string printable(const std::string& text)
{
    std::string out(4 * text.size() + 1, '\0');
    textescape(&out[0], out.size(), text.data(), text.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string excerpt(const std::string& text, size_t most)
{
    std::string out(most + 1, '\0');
    const size_t went = textescape(&out[0], out.size(), text.data(), text.size());
    out.resize(std::strlen(out.c_str()));
    return went < text.size() ? out + "..." : out;
}

bool isUsbId(int id)
{
    return id >= 1 && id <= 0xffff;
}

std::string usbId(int id)
{
    if (!isUsbId(id))
        return "-";
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

std::string ids(int vid, int pid)
{
    return usbId(vid) + ":" + usbId(pid);
}

std::string state(int state)
{
    return servicelib::waitsForFirmware(state) ? "waiting for firmware" : "state " + std::to_string(state);
}

double unixTime()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec / 1000) / 1e6;
}

std::string localTime(double when)
{
    const time_t seconds = static_cast<time_t>(when);
    tm local{};
    char text[32] = "";
    if (localtime_r(&seconds, &local))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string retryNote(const Retry& retry, double now)
{
    if (retry.kind == Retry::Due) {
        const long in = std::lround(std::max(0.0, retry.when - now));
        return "a retry of the failed pass is due in " + std::to_string(in) + " s (retry " +
               std::to_string(retry.retry) + " of " + std::to_string(retry.retries) + ")";
    }
    if (retry.kind == Retry::GaveUp)
        return "the service gave up after " + std::to_string(retry.retries) + " tries at " + localTime(retry.when) +
               "; " MARKERS_AGAIN;
    if (retry.kind == Retry::Unknown)
        return "whether a retry of a failed pass is due cannot be told: " + retry.problem;
    return std::string();
}

std::string retryJson(const Retry& retry)
{
    char when[32];
    std::snprintf(when, sizeof when, "%.3f", retry.when);
    if (retry.kind == Retry::Due)
        return json::Object()("state", json::text("due"))("due", when)("retry", json::number(retry.retry))(
                   "retries", json::number(retry.retries))
            .str();
    if (retry.kind == Retry::GaveUp)
        return json::Object()("state", json::text("gave_up"))("at", when)("tries", json::number(retry.retries)).str();
    if (retry.kind == Retry::Unknown)
        return json::Object()("state", json::text("unknown"))("why", json::text(retry.problem)).str();
    return json::null;
}

void idFields(json::Object& o, int vid, int pid)
{
    const auto hex = [](int id) { return isUsbId(id) ? json::text(usbId(id)) : std::string(json::null); };
    o("vid", json::number(vid))("vid_hex", hex(vid))("pid", json::number(pid))("pid_hex", hex(pid));
}

void deviceFields(json::Object& o, int index, const qmx4api::DeviceInfo& info)
{
    o("index", json::number(index))("name", json::text(info.getName()))("state", json::number(info.getState()))(
        "waiting_for_firmware", json::boolean(servicelib::waitsForFirmware(info.getState())));
    idFields(o, info.getVid(), info.getPid());
}

void print(const Table& report, bool table, std::ostream& out)
{
    std::vector<std::vector<std::string>> lines;
    if (table)
        lines.push_back(report.header);
    for (const auto& row : report.rows) {
        lines.emplace_back();
        for (const auto& field : row)
            lines.back().push_back(printable(field));
    }
    std::vector<size_t> width(report.header.size(), 0);
    for (const auto& line : lines)
        for (size_t c = 0; c < line.size(); ++c)
            width[c] = std::max(width[c], line[c].size());
    for (const auto& line : lines) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            const bool last = c + 1 == line.size();
            text += line[c];
            if (!last)
                text += table ? std::string(width[c] - line[c].size() + 2, ' ') : "\t";
        }
        out << text << '\n';
    }
}

} // namespace report
} // namespace fwctl
