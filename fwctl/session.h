#ifndef FWCTL_SESSION_H
#define FWCTL_SESSION_H

// What the companion holds while it talks to the devices: the passes' lock,
// so that no pass runs beside it, and a library session, closed on every
// way out.

#include <ostream>
#include <string>

namespace fwctl {

// The companion's own failures: a message for standard error, prefixed with
// the program's name.
struct Failure {
    std::string message;
};

// Holds the passes' lock in `dir` for its lifetime; when a pass holds it,
// says so on `err` and waits. Throws Failure when the lock cannot be taken.
class PassLock {
public:
    PassLock(const std::string& dir, std::ostream& err);
    ~PassLock();
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    int fd;
};

// A library session in `base`, closed by close() or, failures swallowed, by
// the destructor. A session that fails to open is closed all the same (a
// pass does so too); the opening failure is what is thrown.
class LibrarySession {
public:
    explicit LibrarySession(const std::string& base);
    ~LibrarySession();
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;

    // Closes the session; throws the library's failure to do so.
    void close();

private:
    bool open = true;
};

} // namespace fwctl

#endif
