#ifndef FWCTL_SANDBOX_H
#define FWCTL_SANDBOX_H

// The device library tried in the passes' sandbox, for qmx4-fwctl doctor:
// the probe (qmx4-fwload-probe, linked with the library as the downloader
// is) opens and closes a session in a transient service that has the
// settings qmx4-fwload.service has now (systemctl show: the administrator's
// drop-ins count). Where it fails, it is tried again with settings lifted,
// to find those that refuse the library and the smallest drop-in that
// lets it work, which is tried too.

#include <string>
#include <vector>

namespace fwctl {

// One run of the probe.
struct Probe {
    int status = -1;       // its exit status (127: the library could not be loaded)
    bool timedOut = false;
    std::string verdict;   // what it said of the session: "ok: ..." or "failed: TEXT"; "" when it said nothing
    std::string firstLine; // the first line of its output (the loader's text for 127)
    std::string output;    // all of it, bounded
    bool ok() const { return status == 0 && verdict.rfind("ok", 0) == 0; }
    // What went wrong, in one line: the library's text, the loader's or the exit status.
    std::string failure() const;
};

struct SandboxFinding {
    bool sandboxed = false;  // tried in the unit's sandbox (else by hand: no systemd, or no unit)
    std::string how;         // how it was tried, in words
    Probe probe;             // the probe's run there
    bool notTheSandbox = false;      // it fails with every setting below lifted as well
    std::vector<std::string> settings; // the settings that refuse the library ("DevicePolicy=closed")
    std::vector<std::string> dropin;   // the [Service] lines that lift just that
    bool dropinWorks = false;          // the probe worked with them
};

// Runs `probe` in the base directory `base`, with `libraryDir` (if not "")
// searched first for the library. `unit` is the pass service.
SandboxFinding trySandbox(const std::string& probe, const std::string& base, const std::string& libraryDir,
                          const std::string& unit);

} // namespace fwctl

#endif
