#include "sandbox.h"

#include "subprocess.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// The unit's settings, "Name=value" as systemctl show prints them; the
// empty ones only where empty means something (no capabilities).
std::vector<std::string> unitSettings(const std::string& unit, std::string& loaded)
{
    std::vector<std::string> argv = {"systemctl", "show", unit, "-p", "LoadState"};
    for (const char* name : carried)
        argv.insert(argv.end(), {"-p", name});
    const Ran ran = runProgram(argv, 30);
    std::vector<std::string> settings;
    std::istringstream lines(ran.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (name == "LoadState")
            loaded = value;
        else if (!value.empty() || name == "CapabilityBoundingSet")
            settings.push_back(line);
    }
    if (ran.status != 0)
        loaded = "unknown (systemctl show failed)";
    return settings;
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
struct Sandbox {
    std::string probe, libraryDir;
    std::vector<std::string> settings;
    int runs = 0;
    std::string dir; // for the output files, under /run

    ~Sandbox()
    {
        for (int n = 1; !dir.empty() && n <= runs; ++n)
            unlink((dir + "/" + std::to_string(n)).c_str());
        if (!dir.empty())
            rmdir(dir.c_str());
    }

    std::string state(const std::string& name)
    {
        std::string shown = runProgram({"systemctl", "show", "-P", "ActiveState", name}, 10).output;
        return shown.substr(0, shown.find('\n'));
    }

    Probe operator()(const std::vector<std::string>& extra)
    {
        if (dir.empty()) {
            char pattern[] = "/run/qmx4-doctor.XXXXXX";
            if (!mkdtemp(pattern))
                return fromOutput(std::string("can't make a directory in /run: ") + std::strerror(errno));
            dir = pattern;
        }
        const std::string name =
            "qmx4-fwload-doctor-" + std::to_string(getpid()) + "-" + std::to_string(++runs) + ".service";
        const std::string out = dir + "/" + std::to_string(runs);
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

SandboxFinding trySandbox(const std::string& probe, const std::string& base, const std::string& libraryDir,
                          const std::string& unit)
{
    SandboxFinding f;
    std::string loaded;
    const bool systemd = access("/run/systemd/system", F_OK) == 0;
    Sandbox sandbox{probe, libraryDir, systemd ? unitSettings(unit, loaded) : std::vector<std::string>(), 0, ""};
    if (systemd && loaded == "loaded" && geteuid() == 0) {
        f.sandboxed = true;
        f.how = "in " + unit + "'s sandbox, as systemctl show gives it";
        f.probe = sandbox({});
        if (!f.probe.ok() && !f.probe.timedOut)
            findCause(sandbox, f.probe.output, f);
        return f;
    }
    f.how = !systemd                   ? "by hand: systemd is not running, so not in the sandbox"
            : loaded != "loaded"       ? "by hand: " + unit + " is not installed (" + loaded + "), so not in its sandbox"
                                       : "by hand: only root can try it in " + unit + "'s sandbox";
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
