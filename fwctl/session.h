#ifndef FWCTL_SESSION_H
#define FWCTL_SESSION_H

// What the companion holds while it talks to the devices: the passes' lock,
// so that no pass runs beside it; and how its failures are told.

#include <ostream>
#include <stdexcept>
#include <string>

namespace fwctl {

// The companion's own failures: what() is a message for standard error,
// prefixed there with the program's name, except for a configuration the
// downloader refuses (`refusal`), whose text is the downloader's own.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& message, bool refusal = false)
        : std::runtime_error(message), refusal(refusal) {}
    bool refusal;
};

// A failure as the companion prints it: its own prefixed with the program's
// name, the library's text and the downloader's refusal as they are but
// escaped (report::printable).
std::string failureLine(const std::exception& e);

// Holds the passes' lock in `dir` for its lifetime; when a pass holds it,
// says so on `err`, naming the holder where /proc/locks tells, and waits
// at most `seconds`. Throws Failure when the lock cannot be taken in time.
class PassLock {
public:
    PassLock(const std::string& dir, int seconds, std::ostream& err);
    ~PassLock();
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    int fd;
};

} // namespace fwctl

#endif
