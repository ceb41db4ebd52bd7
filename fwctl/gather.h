#ifndef FWCTL_GATHER_H
#define FWCTL_GATHER_H

// What the companion's commands look at on disk besides the configuration,
// gathered into values before anything is printed (report.h shows them).

#include "report.h"

#include <string>

namespace fwctl {
namespace gather {

// What keeps a pass from handing this firmware file to the library (missing,
// unreadable, no regular file, empty), or "" when nothing does.
std::string firmwareProblem(const std::string& path);

// The helper's retry state in `lockDir` (retrystate.h): none for a retry
// whose helper is gone, or for a file that cannot be read (`problem`).
report::Retry retry(const std::string& lockDir);

} // namespace gather
} // namespace fwctl

#endif
