#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace report {

namespace {

// What keeps a pass from handing this firmware file to the library, or "".
std::string firmwareProblem(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? "firmware missing" : std::string("firmware unreadable: ") + std::strerror(errno);
    struct stat info;
    std::string problem;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        problem = "firmware is no regular file";
    else if (info.st_size == 0)
        problem = "firmware empty";
    else if (char byte; read(fd, &byte, 1) != 1)
        problem = std::string("firmware unreadable: ") + std::strerror(errno);
    close(fd);
    return problem;
}

std::string ids(int vid, int pid)
{
    return usbId(vid) + ":" + usbId(pid);
}

} // namespace

std::string printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
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

Table checkEntries(const std::string& baseDir, const std::vector<servicelib::DeviceEntry>& entries)
{
    Table result;
    result.header = {"#", "NAME", "VID:PID", "VID/PID", "TYPE", "FIRMWARE", "STATUS"};
    std::map<std::pair<int, int>, size_t> first;
    for (size_t n = 0; n < entries.size(); ++n) {
        const servicelib::DeviceEntry& e = entries[n];
        const std::string path = servicelib::firmwarePath(baseDir, e.fw);
        std::vector<std::string> problems;
        const std::string firmware = firmwareProblem(path);
        if (!firmware.empty())
            problems.push_back(firmware);
        if (!isUsbId(e.vid) || !isUsbId(e.pid))
            problems.push_back("ids cannot be USB ids");
        const auto seen = first.emplace(std::make_pair(e.vid, e.pid), n);
        if (!seen.second)
            problems.push_back("never used: #" + std::to_string(seen.first->second) + " has the same ids");
        std::string status;
        for (const auto& problem : problems)
            status += (status.empty() ? "" : "; ") + problem;
        result.ok = result.ok && problems.empty();
        result.rows.push_back({std::to_string(n), e.name, ids(e.vid, e.pid),
                               std::to_string(e.vid) + "/" + std::to_string(e.pid), std::to_string(e.type), path,
                               status.empty() ? "ok" : status});
    }
    return result;
}

Table planPass(const std::vector<servicelib::DeviceEntry>& entries,
                const std::vector<qmx4api::EnumeratedDevice>& devices)
{
    Table result;
    result.header = {"INDEX", "NAME", "STATE", "VID:PID", "A PASS WOULD"};
    for (const auto& device : devices) {
        const qmx4api::DeviceInfo& info = device.getInfo();
        std::string action = "skip: no configured type";
        if (!servicelib::waitsForFirmware(info.getState()))
            action = "skip: configured";
        else if (const servicelib::DeviceEntry* e = servicelib::findEntry(entries, info))
            action = "download " + e->fw + " as type " + std::to_string(e->type) + " (" + e->name + ")";
        result.rows.push_back({std::to_string(device.getIndex()), info.getName(), std::to_string(info.getState()),
                               ids(info.getVid(), info.getPid()), action});
    }
    return result;
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
