#include "gather.h"

#include "regularfile.h"
#include "retrystate.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace fwctl {
namespace gather {

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

report::Retry retry(const std::string& lockDir)
{
    retrystate state;
    char why[PATH_MAX + 128] = "";
    report::Retry retry;
    if (retrystate_read(lockDir.c_str(), &state, why, sizeof why) != 0)
        retry.problem = why;
    retry.kind = state.kind == RETRYSTATE_DUE       ? report::Retry::Due
                 : state.kind == RETRYSTATE_GAVE_UP ? report::Retry::GaveUp
                                                    : report::Retry::None;
    retry.when = state.when;
    retry.retry = state.retry;
    retry.retries = state.retries;
    return retry;
}

} // namespace gather
} // namespace fwctl
