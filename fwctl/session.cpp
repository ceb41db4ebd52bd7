#include "session.h"

#include "lockholder.h"
#include "passlock.h"
#include "report.h"
#include "qmx4api.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace fwctl {

namespace {

struct Waiting {
    std::ostream& err;
    int seconds;
    std::string holder;
};

void sayWaiting(void* context, int fd)
{
    auto& w = *static_cast<Waiting*>(context);
    char holder[128];
    passlock_holder(fd, holder, sizeof holder);
    w.holder = *holder ? std::string(" (") + holder + ")" : std::string();
    w.err << "qmx4-fwctl: waiting up to " << w.seconds << " s for the running pass" << w.holder << " to end"
          << std::endl;
}

} // namespace

std::string failureLine(const std::exception& e)
{
    const auto* own = dynamic_cast<const Failure*>(&e);
    return own && !own->refusal ? std::string("qmx4-fwctl: ") + e.what() : report::printable(e.what());
}

PassLock::PassLock(const std::string& dir, int seconds, std::ostream& err)
{
    char why[PASSLOCK_WHY];
    Waiting waiting{err, seconds, {}};
    fd = passlock_take(dir.c_str(), 0, seconds * 1000, sayWaiting, &waiting, why);
    if (fd < 0 && errno == ETIMEDOUT)
        throw Failure("the running pass" + waiting.holder + " still holds " + dir + "/pass after " +
                      std::to_string(seconds) + " s; --wait SECONDS waits longer");
    if (fd < 0)
        throw Failure(std::string("can't lock ") + why);
}

PassLock::~PassLock()
{
    close(fd);
}

} // namespace fwctl
