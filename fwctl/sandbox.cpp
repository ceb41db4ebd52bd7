#include "sandbox.h"

#include "loadfailure.h"
#include "subprocess.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace fwctl {

namespace {

const char* const mark = "qmx4-fwload-probe: ";

// The settings of the pass service that make its sandbox, as systemctl
// show names them and systemd-run takes them back.
const char* const carried[] = {
    "ProtectSystem", "ProtectHome", "PrivateTmp", "PrivateDevices", "PrivateMounts", "PrivateNetwork",
    "PrivateUsers", "PrivateIPC", "ProtectKernelTunables", "ProtectKernelModules", "ProtectKernelLogs",
    "ProtectControlGroups", "ProtectClock", "ProtectHostname", "ProtectProc", "ProcSubset", "NoNewPrivileges",
    "RestrictNamespaces", "RestrictRealtime", "RestrictSUIDSGID", "LockPersonality", "MemoryDenyWriteExecute",
    "DevicePolicy", "DeviceAllow", "CapabilityBoundingSet", "AmbientCapabilities", "RestrictAddressFamilies",
    "IPAddressDeny", "IPAddressAllow", "SystemCallArchitectures", "SystemCallFilter", "SystemCallErrorNumber",
    "ReadWritePaths", "ReadOnlyPaths", "InaccessiblePaths", "ExecPaths", "NoExecPaths", "BindPaths",
    "BindReadOnlyPaths", "TemporaryFileSystem", "UMask", "Environment", "WorkingDirectory", "StateDirectory",
    "User", "Group", "SupplementaryGroups"};

// What lifts one kind of restriction: all of it, or a smaller step each.
struct Lift {
    const char* setting; // the unit's setting it is about
    std::vector<std::string> all;
    std::vector<std::vector<std::string>> steps;
};

std::vector<Lift> lifts(const std::string& said)
{
    std::vector<Lift> list = {
        {"MemoryDenyWriteExecute", {"MemoryDenyWriteExecute=no"}, {}},
        {"DevicePolicy", {"DevicePolicy=auto", "DeviceAllow="}, {}},
        // An empty value does not reset the list of a transient unit: every
        // family systemd 252 knows, named.
        {"RestrictAddressFamilies",
         {"RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK AF_PACKET AF_BLUETOOTH AF_CAN AF_ALG AF_VSOCK "
          "AF_KEY AF_TIPC AF_XDP AF_QIPCRTR AF_RDS AF_LLC AF_IEEE802154 AF_NFC AF_PPPOX AF_IB AF_MPLS AF_SMC AF_KCM"},
         {{"RestrictAddressFamilies=AF_INET"}, {"RestrictAddressFamilies=AF_INET6"},
          {"RestrictAddressFamilies=AF_INET AF_INET6"}, {"RestrictAddressFamilies=AF_PACKET"},
          {"RestrictAddressFamilies=AF_BLUETOOTH"}}},
        {"CapabilityBoundingSet", {"CapabilityBoundingSet=~"}, {}},
        {"SystemCallFilter", {"SystemCallFilter="}, {}},
        {"ProtectHome", {"ProtectHome=no"}, {{"ProtectHome=tmpfs"}}},
        {"ProtectSystem", {"ProtectSystem=no"}, {}},
        {"ProtectKernelTunables", {"ProtectKernelTunables=no"}, {}},
        {"RestrictNamespaces", {"RestrictNamespaces=no"}, {}},
        {"PrivateTmp", {"PrivateTmp=no"}, {}},
    };
    // The library's own device nodes and the files it names.
    std::istringstream words(said);
    for (std::string word; words >> word;) {
        const size_t end = word.find_first_of(":\"',;)");
        word = word.substr(0, end);
        if (word.rfind("/dev/", 0) == 0 && access(word.c_str(), F_OK) == 0)
            list[1].steps.push_back({"DeviceAllow=" + word + " rw"});
        else if (word.size() > 1 && word[0] == '/' && word.rfind("/dev/", 0) != 0)
            list[6].steps.push_back({"ReadWritePaths=-" + word.substr(0, word.rfind('/'))});
    }
    for (const char* cap : {"CAP_SYS_RAWIO", "CAP_SYS_ADMIN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER",
                            "CAP_NET_ADMIN", "CAP_NET_RAW", "CAP_SYS_NICE", "CAP_IPC_LOCK", "CAP_MKNOD",
                            "CAP_SYS_RESOURCE", "CAP_SYS_PTRACE", "CAP_SYS_TIME", "CAP_CHOWN", "CAP_SETUID",
                            "CAP_SETGID", "CAP_KILL", "CAP_NET_BIND_SERVICE", "CAP_SYS_MODULE", "CAP_SYS_BOOT"})
        list[3].steps.push_back({std::string("CapabilityBoundingSet=") + cap});
    for (const char* group : {"@raw-io", "@privileged", "@mount", "@module", "@clock", "@cpu-emulation", "@debug",
                              "@obsolete", "@resources", "@keyring", "@pkey", "@swap", "@reboot"})
        list[4].steps.push_back({std::string("SystemCallFilter=") + group});
    return list;
}

// The probe's output as a Probe: its verdict, or the loader's text.
Probe fromOutput(const std::string& output)
{
    Probe p;
    p.output = output;
    p.verdict = lastLineAfter(output, mark);
    const size_t start = output.find_first_not_of('\n');
    if (start != std::string::npos)
        p.firstLine = output.substr(start, output.find('\n', start) - start);
    p.status = p.verdict.rfind("ok", 0) == 0                                       ? 0
               : !p.verdict.empty()                                                ? 1
               : output.find("error while loading shared libraries") != std::string::npos ? 127
                                                                                   : -1;
    return p;
}

// Tries the probe in a transient service with the unit's settings and then
// `extra`. Its output goes to a file PID 1 opens, and its end is watched
// with systemctl: systemd-run --wait would need the D-Bus broker, which a
// minimal system lacks, while systemd-run and systemctl alone talk to
// systemd directly.
// A directory of the probe's own: the output files of its runs and the
// link to a library given by path. Under /run where the probe runs in a
// sandbox, whose /tmp is its own; removed with what it holds.
struct Scratch {
    std::string dir;
    std::vector<std::string> made;

    explicit Scratch(bool underRun)
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(underRun ? "/run" : tmp && *tmp ? tmp : "/tmp") + "/qmx4-doctor.XXXXXX";
        if (mkdtemp(&pattern[0]))
            dir = pattern;
    }
    ~Scratch()
    {
        for (const std::string& file : made)
            unlink(file.c_str());
        if (!dir.empty())
            rmdir(dir.c_str());
    }
    // The path of a file `name` in it, removed with it.
    std::string file(const std::string& name) { return made.emplace_back(dir + "/" + name); }
};

// A directory in `scratch` where the loader finds `library` under the name
// the programs ask for; "" without a library.
std::string libraryDirectory(Scratch& scratch, const std::string& library)
{
    if (library.empty())
        return "";
    char* real = realpath(library.c_str(), nullptr);
    const bool linked = real && symlink(real, scratch.file(LOADFAILURE_LIBRARY).c_str()) == 0;
    std::free(real);
    return linked ? scratch.dir : "";
}

// Tries the probe in a transient service with the unit's settings and then
// `extra`. Its output goes to a file PID 1 opens, and its end is watched
// with systemctl: systemd-run --wait would need the D-Bus broker, which a
// minimal system lacks, while systemd-run and systemctl alone talk to
// systemd directly.
struct Sandbox {
    std::string probe, libraryDir;
    const std::vector<std::string>& settings;
    Scratch& scratch;
    int runs = 0;

    std::string state(const std::string& name)
    {
        std::string shown = runProgram({"systemctl", "show", "-P", "ActiveState", name}, 10).output;
        return shown.substr(0, shown.find('\n'));
    }

    Probe operator()(const std::vector<std::string>& extra)
    {
        if (scratch.dir.empty())
            return fromOutput("can't make a directory in /run");
        const std::string name =
            "qmx4-fwload-doctor-" + std::to_string(getpid()) + "-" + std::to_string(++runs) + ".service";
        const std::string out = scratch.file(std::to_string(runs));
        std::vector<std::string> argv = {"systemd-run", "--quiet", "--collect", "--service-type=exec",
                                         "--unit=" + name, "-p", "RuntimeMaxSec=60", "-p",
                                         "StandardOutput=file:" + out};
        for (const std::string& s : settings)
            argv.insert(argv.end(), {"-p", s});
        for (const std::string& s : extra)
            argv.insert(argv.end(), {"-p", s});
        if (!libraryDir.empty())
            argv.insert(argv.end(), {"-p", "Environment=LD_LIBRARY_PATH=" + libraryDir});
        argv.insert(argv.end(), {"--", probe});
        const Ran started = runProgram(argv, 30);
        if (started.status != 0) {
            Probe p = fromOutput("systemd-run: " + started.output);
            p.status = started.status;
            return p;
        }
        bool ended = false;
        for (int waited = 0; waited < 1500 && !ended; ++waited) {
            const std::string now = state(name);
            ended = now != "active" && now != "activating" && now != "deactivating" && now != "reloading";
            if (!ended)
                usleep(50000);
        }
        if (!ended)
            runProgram({"systemctl", "stop", name}, 30);
        runProgram({"systemctl", "reset-failed", name}, 10);
        Probe p = fromOutput(readBounded(out));
        p.timedOut = !ended;
        return p;
    }
};

std::vector<std::string> joined(const std::vector<const Lift*>& chosen, const Lift* except = nullptr)
{
    std::vector<std::string> all;
    for (const Lift* l : chosen)
        if (l != except)
            all.insert(all.end(), l->all.begin(), l->all.end());
    return all;
}

// Which settings refuse the library, and the smallest drop-in that lifts
// them, found by trying: every lift at once, then each left out, then the
// small steps of each that is needed.
void findCause(Sandbox& sandbox, const std::string& said, SandboxFinding& f)
{
    const std::vector<Lift> list = lifts(said);
    std::vector<const Lift*> all;
    for (const Lift& l : list)
        all.push_back(&l);
    if (!sandbox(joined(all)).ok()) {
        f.notTheSandbox = true;
        return;
    }
    std::vector<const Lift*> needed;
    for (const Lift* l : all)
        if (!sandbox(joined(all, l)).ok())
            needed.push_back(l);
    if (needed.empty())
        needed = all; // only together: name them all
    for (const Lift* l : needed) {
        f.settings.push_back(l->setting);
        std::vector<std::string> chosen = l->all;
        for (const std::vector<std::string>& step : l->steps) {
            std::vector<std::string> tried = joined(needed, l);
            tried.insert(tried.end(), step.begin(), step.end());
            if (sandbox(tried).ok()) {
                chosen = step;
                break;
            }
        }
        f.dropin.insert(f.dropin.end(), chosen.begin(), chosen.end());
    }
    f.dropinWorks = sandbox(f.dropin).ok();
}

} // namespace

std::string Probe::failure() const
{
    if (timedOut)
        return "it did not end within 60 s";
    if (verdict.rfind("failed: ", 0) == 0)
        return verdict.substr(8);
    if (status == 127)
        return firstLine;
    return "exit status " + std::to_string(status) + (firstLine.empty() ? "" : ": " + firstLine);
}

bool UnitSandbox::has(const std::string& setting, bool shipped) const
{
    if (!systemd || loaded != "loaded")
        return shipped;
    return std::find(settings.begin(), settings.end(), setting) != settings.end();
}

UnitSandbox readUnitSandbox(const std::string& unit)
{
    UnitSandbox u;
    u.systemd = access("/run/systemd/system", F_OK) == 0;
    if (!u.systemd)
        return u;
    std::vector<std::string> argv = {"systemctl", "show", unit, "-p", "LoadState"};
    for (const char* name : carried)
        argv.insert(argv.end(), {"-p", name});
    const Ran ran = runProgram(argv, 30);
    std::istringstream lines(ran.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        // The empty ones only where empty means something (no capabilities).
        if (name == "LoadState")
            u.loaded = value;
        else if (!value.empty() || name == "CapabilityBoundingSet")
            u.settings.push_back(line);
    }
    if (ran.status != 0)
        u.loaded = "unknown (systemctl show failed)";
    return u;
}

SandboxFinding trySandbox(const std::string& probe, const std::string& base, const std::string& library,
                          const UnitSandbox& unit, const std::string& unitName)
{
    SandboxFinding f;
    const bool sandboxed = unit.systemd && unit.loaded == "loaded" && geteuid() == 0;
    Scratch scratch(sandboxed);
    const std::string libraryDir = libraryDirectory(scratch, library);
    if (sandboxed) {
        Sandbox sandbox{probe, libraryDir, unit.settings, scratch};
        f.sandboxed = true;
        f.how = "in " + unitName + "'s sandbox, as systemctl show gives it";
        f.probe = sandbox({});
        if (!f.probe.ok() && !f.probe.timedOut)
            findCause(sandbox, f.probe.output, f);
        return f;
    }
    f.how = !unit.systemd               ? "by hand: systemd is not running, so not in the sandbox"
            : unit.loaded != "loaded"   ? "by hand: " + unitName + " is not installed (" + unit.loaded + "), so not in its sandbox"
                                        : "by hand: only root can try it in " + unitName + "'s sandbox";
    std::vector<std::string> environment;
    if (!libraryDir.empty())
        environment.push_back("LD_LIBRARY_PATH=" + libraryDir);
    const Ran ran = runProgram({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\"", "sh", base, probe}, 75, environment);
    f.probe = fromOutput(ran.output);
    f.probe.status = ran.status;
    f.probe.timedOut = ran.timedOut;
    return f;
}

} // namespace fwctl
