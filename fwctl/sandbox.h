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

// The pass service's sandbox as systemd has it now (systemctl show:
// drop-ins included), read once.
struct UnitSandbox {
    bool systemd = false;            // systemd runs this machine
    std::string loaded;              // the unit's LoadState ("loaded" when installed)
    std::vector<std::string> settings; // "Name=value", those that make the sandbox
    // Whether the unit has exactly this setting; where systemd cannot say
    // (not running, unit not installed), whether the shipped unit has it.
    bool has(const std::string& setting, bool shipped) const;
};

// Reads `unit`'s sandbox (nothing where systemd does not run).
UnitSandbox readUnitSandbox(const std::string& unit);

struct SandboxFinding {
    bool sandboxed = false;  // tried in the unit's sandbox (else by hand: no systemd, or no unit)
    std::string how;         // how it was tried, in words
    Probe probe;             // the probe's run there
    bool notTheSandbox = false;      // it fails with every setting below lifted as well
    std::vector<std::string> settings; // the settings that refuse the library ("DevicePolicy=closed")
    std::vector<std::string> dropin;   // the [Service] lines that lift just that
    bool dropinWorks = false;          // the probe worked with them
};

// Runs `probe` in the base directory `base` in `unit`'s sandbox, with
// `library` (if not "") put where the loader finds it first.
SandboxFinding trySandbox(const std::string& probe, const std::string& base, const std::string& library,
                          const UnitSandbox& unit, const std::string& unitName);

} // namespace fwctl

#endif
