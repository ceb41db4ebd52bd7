#include "report.h"

#include "json.h"
#include "servicelib.h"

#include "regularfile.h"
#include "retrystate.h"
#include "textescape.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fwctl {
namespace report {

std::string firmwareProblem(const std::string& path)
{
    char why[REGULARFILE_WHY];
    const int fd = regularfile_open(path.c_str(), LLONG_MAX, why);
    if (fd == -1)
        return errno == ENOENT ? "firmware missing" : std::string("firmware unreadable: ") + why;
    if (fd < 0)
        return std::string("firmware ") + (why + 3); // "is a FIFO, not a regular file"
    struct stat info;
    std::string problem;
    if (fstat(fd, &info) == 0 && info.st_size == 0)
        problem = "firmware empty";
    else if (char byte; read(fd, &byte, 1) != 1)
        problem = std::string("firmware unreadable: ") + std::strerror(errno);
    close(fd);
    return problem;
}

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

namespace {

std::string localTime(double when)
{
    const time_t seconds = static_cast<time_t>(when);
    tm local{};
    char text[32] = "";
    if (localtime_r(&seconds, &local))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

std::string retryNote(const std::string& lockDir)
{
    retrystate state;
    char why[PATH_MAX + 128];
    if (retrystate_read(lockDir.c_str(), &state, why, sizeof why) != 0)
        return "ignoring " + printable(why);
    if (state.kind == RETRYSTATE_DUE) {
        const long in = std::lround(std::max(0.0, state.when - unixTime()));
        return "a retry of the failed pass is due in " + std::to_string(in) + " s (retry " +
               std::to_string(state.retry) + " of " + std::to_string(state.retries) + ")";
    }
    if (state.kind == RETRYSTATE_GAVE_UP)
        return "the service gave up after " + std::to_string(state.retries) + " tries at " + localTime(state.when) +
               "; " RETRYSTATE_AGAIN;
    return std::string();
}

std::string retryJson(const std::string& lockDir)
{
    retrystate state;
    char why[PATH_MAX + 128];
    retrystate_read(lockDir.c_str(), &state, why, sizeof why);
    char when[32];
    std::snprintf(when, sizeof when, "%.3f", state.when);
    if (state.kind == RETRYSTATE_DUE)
        return json::Object()("state", json::text("due"))("due", when)("retry", json::number(state.retry))(
                   "retries", json::number(state.retries))
            .str();
    if (state.kind == RETRYSTATE_GAVE_UP)
        return json::Object()("state", json::text("gave_up"))("at", when)("tries", json::number(state.retries)).str();
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
