#include "subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fwctl {

namespace {

// Keeps the head and the tail of a stream of any length: `kept` bytes in
// all, a quarter of them from its start.
void keep(std::string& head, std::string& tail, const char* data, size_t n, size_t kept)
{
    const size_t toHead = std::min(n, kept / 4 - head.size());
    head.append(data, toHead);
    tail.append(data + toHead, n - toHead);
    if (tail.size() > 2 * (kept - kept / 4))
        tail.erase(0, tail.size() - (kept - kept / 4));
}

// What is left of the tail once a stream ended.
std::string joined(const std::string& head, std::string& tail, size_t kept)
{
    if (tail.size() > kept - kept / 4)
        tail.erase(0, tail.size() - (kept - kept / 4));
    return head + tail;
}

long long nowMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

Ran runProgram(const std::vector<std::string>& argv, int seconds, const std::vector<std::string>& environment,
               size_t kept)
{
    Ran ran;
    int out[2];
    if (argv.empty() || pipe2(out, O_CLOEXEC) != 0)
        return ran.error = argv.empty() ? "no program" : std::strerror(errno), ran;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        signal(SIGPIPE, SIG_DFL);
        for (const std::string& e : environment)
            putenv(const_cast<char*>(e.c_str()));
        execvp(args[0], args.data());
        dprintf(2, "can't run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(out[1]);
    if (child < 0) {
        close(out[0]);
        return ran.error = std::strerror(errno), ran;
    }
    std::string head, tail;
    const long long deadline = nowMs() + seconds * 1000LL;
    for (bool open = true; open;) {
        const long long left = deadline - nowMs();
        if (left <= 0) {
            kill(child, SIGKILL);
            ran.timedOut = true;
            break;
        }
        pollfd fd = {out[0], POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::min(left, 1000LL))) <= 0)
            continue;
        char block[65536];
        const ssize_t n = read(out[0], block, sizeof block);
        if (n > 0)
            keep(head, tail, block, static_cast<size_t>(n), kept);
        open = n > 0 || (n < 0 && errno == EINTR);
    }
    close(out[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    ran.output = joined(head, tail, kept);
    return ran;
}

std::string readBounded(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return "";
    std::string head, tail;
    char block[65536];
    for (ssize_t n; (n = read(fd, block, sizeof block)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        keep(head, tail, block, static_cast<size_t>(n), 64 << 10);
    }
    close(fd);
    return joined(head, tail, 64 << 10);
}

std::string lastLineAfter(const std::string& output, const std::string& mark)
{
    for (size_t end = output.size(); end > 0;) {
        const size_t start = output.rfind('\n', end - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        if (output.compare(from, mark.size(), mark) == 0)
            return output.substr(from + mark.size(), end - from - mark.size());
        if (start == std::string::npos)
            break;
        end = start;
    }
    return "";
}

} // namespace fwctl
