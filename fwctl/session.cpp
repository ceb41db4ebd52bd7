#include "session.h"

#include "passlock.h"
#include "qmx4api.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace fwctl {

namespace {

void sayWaiting(void* err)
{
    *static_cast<std::ostream*>(err) << "qmx4-fwctl: waiting for the running pass to end" << std::endl;
}

} // namespace

PassLock::PassLock(const std::string& dir, std::ostream& err)
{
    char failed[PATH_MAX];
    fd = passlock_take(dir.c_str(), 0, sayWaiting, &err, failed);
    if (fd < 0)
        throw Failure{std::string("can't lock ") + failed + ": " + std::strerror(errno)};
}

PassLock::~PassLock()
{
    close(fd);
}

LibrarySession::LibrarySession(const std::string& base)
{
    try {
        qmx4api::initEx(base);
    } catch (const std::exception&) {
        try {
            qmx4api::deInit();
        } catch (const std::exception&) {
        }
        throw;
    }
}

LibrarySession::~LibrarySession()
{
    if (!open)
        return;
    try {
        qmx4api::deInit();
    } catch (const std::exception&) {
        // A failure that ended the command is already on its way out.
    }
}

void LibrarySession::close()
{
    open = false;
    qmx4api::deInit();
}

} // namespace fwctl
