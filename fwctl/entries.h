#ifndef FWCTL_ENTRIES_H
#define FWCTL_ENTRIES_H

// What `qmx4-fwctl check` reports: every configured entry and what keeps a
// pass from serving it, for people (a table) and for scripts (JSON).

#include "explain.h"
#include "report.h"

#include <string>
#include <vector>

namespace fwctl {
namespace entries {

struct Row {
    const explain::Entry* entry;
    std::string path;                  // the firmware path as a pass hands it to the library
    std::vector<std::string> problems; // empty: a pass can serve it
};

// One row per entry: the downloader refusing it (why), a firmware file that
// is missing, no regular file, unreadable or empty, ids that cannot be USB
// ids, or an earlier entry with the same ids. Looks at files only.
std::vector<Row> rows(const explain::Configuration& c, const std::string& baseDir);

// Whether every entry can be served and the file is not refused.
bool servable(const explain::Configuration& c, const std::vector<Row>& rows);

report::Table table(const std::vector<Row>& rows);

std::string json(const explain::Configuration& c, const std::vector<Row>& rows);

} // namespace entries
} // namespace fwctl

#endif
