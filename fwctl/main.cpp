// qmx4-fwctl: the administrator's companion to qmx4-fwload (see fwctl.h).

#include "fwctl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <streambuf>
#include <unistd.h>

namespace {

// An output stream's buffer over a file descriptor.
class FdBuffer : public std::streambuf {
public:
    explicit FdBuffer(int fd) : fd(fd) { setp(buffer, buffer + sizeof buffer); }

protected:
    int_type overflow(int_type c) override
    {
        if (sync() != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            *pptr() = traits_type::to_char_type(c), pbump(1);
        return traits_type::not_eof(c);
    }
    int sync() override
    {
        for (char* from = pbase(); from < pptr();) {
            const ssize_t n = write(fd, from, static_cast<size_t>(pptr() - from));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return -1;
            from += n;
        }
        setp(buffer, buffer + sizeof buffer);
        return 0;
    }

private:
    int fd;
    char buffer[65536];
};

} // namespace

int main(int argc, char** argv)
{
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    // What the device library prints (closed libraries print debug output)
    // must not mix into ours, which scripts parse: the companion writes to
    // a descriptor of its own, and standard output becomes standard error.
    const int own = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (own >= 0)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    FdBuffer buffer(own >= 0 ? own : STDOUT_FILENO);
    std::ostream out(&buffer);
    // As with std::cout: what goes to standard error comes after what was
    // written to standard output before it.
    std::cerr.tie(&out);
    struct Untie {
        ~Untie() { std::cerr.tie(nullptr); } // before `out` goes
    } untie;
    int status;
    try {
        status = fwctl::run(std::vector<std::string>(argv + 1, argv + argc), out, std::cerr, terminal);
    } catch (const std::exception& e) {
        // Only memory exhaustion gets here.
        std::cerr << "qmx4-fwctl: " << e.what() << '\n';
        return 1;
    }
    // Output that did not arrive (a full disk, an I/O error) is a failure. A
    // reader that went away (| head) ends the command by SIGPIPE, or here
    // with EPIPE, quietly.
    errno = 0;
    if (!out.flush()) {
        if (errno != EPIPE)
            std::cerr << "qmx4-fwctl: can't write standard output: " << std::strerror(errno ? errno : EIO) << '\n';
        return 1;
    }
    return status;
}
