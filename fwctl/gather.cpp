#include "gather.h"

#include "regularfile.h"
#include "decimal.h"
#include "firmwaredigest.h"
#include "markers.h"
#include "subprocess.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace fwctl {
namespace gather {

std::string firmwareProblem(const std::string& path, const std::optional<std::string>& pin)
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
    if (problem.empty() && pin)
        problem = servicelib::pinMismatch(path, pin, servicelib::digestFirmware(path));
    return problem;
}

namespace {

// The delays of QMX4_RETRY_DELAYS in a unit's Environment= as systemctl
// shows it ("HOME=/x QMX4_RETRY_DELAYS=2,10,60"); none when it is not set.
int delaysIn(const std::string& environment, double delays[MARKERS_MOST_RETRIES])
{
    const std::string name = "QMX4_RETRY_DELAYS=";
    const size_t at = environment.find(name);
    if (at == std::string::npos || (at > 0 && environment[at - 1] != ' '))
        return 0;
    const size_t end = environment.find(' ', at);
    return std::max(0, markers_delays(environment.substr(at + name.size(), end - at - name.size()).c_str(), delays));
}

double number(const std::map<std::string, std::string>& unit, const std::string& key)
{
    const auto found = unit.find(key);
    double value = 0;
    if (found != unit.end())
        decimal_parse(found->second.c_str() + (found->second.rfind('@', 0) == 0), -1, 1e18, 0, &value);
    return value;
}

} // namespace

report::Retry retryOf(const std::map<std::string, std::string>& unit, int tries, bool passing, double now)
{
    report::Retry retry;
    double delays[MARKERS_MOST_RETRIES];
    const int retries = delaysIn(unit.count("Environment") ? unit.at("Environment") : "", delays);
    const auto is = [&](const char* key, const std::string& value) { return unit.count(key) && unit.at(key) == value; };
    if (is("ActiveState", "failed") && is("ExecMainStatus", std::to_string(PASS_GAVE_UP))) {
        retry.kind = report::Retry::GaveUp;
        retry.when = number(unit, "InactiveEnterTimestamp");
        retry.retries = retries + 1;
    } else if (is("ActiveState", "activating") && !passing && tries >= 1 && tries <= retries) {
        retry.kind = report::Retry::Due;
        const double started = is("SubState", "start") ? number(unit, "ExecMainStartTimestamp") : 0;
        retry.when = (started > 0 ? started : now) + delays[tries - 1];
        retry.retry = tries;
        retry.retries = retries;
    }
    return retry;
}

report::Retry retryAfter(const char* code, const char* status, int tries, const char* delaysText, double now)
{
    report::Retry retry;
    double delays[MARKERS_MOST_RETRIES];
    const int retries = delaysText ? std::max(0, markers_delays(delaysText, delays)) : 0;
    const std::string how = code ? code : "", what = status ? status : "";
    if (how == "exited" && what == std::to_string(PASS_GAVE_UP)) {
        retry.kind = report::Retry::GaveUp;
        retry.when = now;
        retry.retries = tries;
    } else if (((how == "exited" && what == "1") || how == "killed" || how == "dumped") && tries >= 1 &&
               tries <= retries) {
        retry.kind = report::Retry::Due;
        retry.when = now + delays[tries - 1];
        retry.retry = tries;
        retry.retries = retries;
    }
    return retry;
}

report::Retry retry(const std::string& lockDir)
{
    const int tries = markers_tries(lockDir.c_str());
    const Ran shown = runProgram({"systemctl", "show", "--timestamp=unix", "-p", "ActiveState", "-p", "SubState", "-p",
                                  "ExecMainStatus", "-p", "ExecMainStartTimestamp", "-p", "InactiveEnterTimestamp",
                                  "-p", "Environment", "qmx4-fwload.service"},
                                 10);
    std::map<std::string, std::string> unit;
    std::istringstream lines(shown.output);
    for (std::string line; std::getline(lines, line);)
        if (const size_t equals = line.find('='); equals != std::string::npos)
            unit[line.substr(0, equals)] = line.substr(equals + 1);
    if (shown.status != 0 || !unit.count("ActiveState")) {
        report::Retry unknown;
        if (tries >= 1) { // arrivals of a failed pass wait: a retry may be due
            unknown.kind = report::Retry::Unknown;
            unknown.problem = "systemd, which runs the retries, cannot be asked (" +
                              report::excerpt(shown.status < 0 ? shown.error : lastLineAfter(shown.output, "")) + ")";
        }
        return unknown;
    }
    // A pass holds the lock; a retry waiting for its delay does not.
    const int fd = open((lockDir + "/pass").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool passing = fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (fd >= 0)
        close(fd);
    return retryOf(unit, tries, passing, report::unixTime());
}

} // namespace gather
} // namespace fwctl
