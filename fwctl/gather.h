#ifndef FWCTL_GATHER_H
#define FWCTL_GATHER_H

// What the companion's commands look at on disk besides the configuration,
// gathered into values before anything is printed (report.h shows them).

#include "report.h"

#include <map>
#include <optional>
#include <string>

namespace fwctl {
namespace gather {

// What keeps a pass from handing this firmware file to the library (missing,
// unreadable, no regular file, empty, not the file `pin` pins), or "" when
// nothing does.
std::string firmwareProblem(const std::string& path, const std::optional<std::string>& pin = std::nullopt);

// Where the streak of retries stands: from what systemd shows of
// qmx4-fwload.service and the taken markers in `lockDir` (markers.h);
// Unknown when markers of a failed pass wait and systemd cannot be asked.
report::Retry retry(const std::string& lockDir);

// The same from values: the unit's properties as `systemctl show
// --timestamp=unix` gives them, the most tries of the taken markers,
// whether a pass holds the lock, and the Unix time now. A retry is due
// while the service restarts or waits before its pass; it gave up when it
// failed with the helper's status 3.
report::Retry retryOf(const std::map<std::string, std::string>& unit, int tries, bool passing, double now);

// The same right after the service ended (ExecStopPost=), from its
// $EXIT_CODE and $EXIT_STATUS (may be null), the tries of the streak and
// QMX4_RETRY_DELAYS (may be null): a pass that failed (status 1) or whose
// helper was killed is retried while tries are left.
report::Retry retryAfter(const char* code, const char* status, int tries, const char* delays, double now);

} // namespace gather
} // namespace fwctl

#endif
