#ifndef FWCTL_HISTORY_H
#define FWCTL_HISTORY_H

#include "report.h"

#include <optional>
#include <string>
#include <vector>

// Which firmware went into which device, and when: the download entries
// the passes left in the journal (passjournal.h), newest first.
namespace fwctl {
namespace history {

// One download, as its journal entry says; a field it lacks stays empty.
struct Download {
    long long usec = 0; // when, microseconds since the epoch
    bool downloaded = false;
    std::string device, ids, type, file, size, sha256, text;
    int index = -1;
};

struct Filter {
    std::string type;       // only this configured type ("" any)
    long long sinceUsec = 0; // only entries at or after this time
    bool failed = false;    // only failed downloads
};

// The time --since gives, as journalctl reads it where practical: "now",
// "today", "yesterday", "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]", or "-N"
// followed by s, min, h or d; nullopt for anything else.
std::optional<long long> sinceUsec(const std::string& text, long long nowUsec);

// The downloads in the system journal that pass the filter, newest first.
// Throws Failure where no journal can be read: none here, or one this user
// may not read.
std::vector<Download> read(const Filter& filter);

// The report, from values alone: table (the SHA-256 cut to 12 digits),
// tab-separated lines, or a JSON array.
report::Table table(const std::vector<Download>& downloads, bool shortSums);
std::string json(const std::vector<Download>& downloads);

} // namespace history
} // namespace fwctl

#endif
