#include "doctor.h"

#include "json.h"
#include "libraryfind.h"
#include "loadfailure.h"
#include "qmx4.h"
#include "report.h"
#include "sandbox.h"
#include "subprocess.h"

#include <unistd.h>

namespace fwctl {
namespace doctor {

namespace {

const char* const library = LOADFAILURE_LIBRARY;
const char* const unit = "qmx4-fwload.service";
const std::string thenStart = "; then systemctl start qmx4-fwload.service";

// The functions of the library's interface the programs call.
std::vector<std::string> interfaceFunctions()
{
#define QMX4_NAME(name, parameters, arguments) #name,
    return {QMX4_FUNCTIONS(QMX4_NAME) "KoGetQmx4VersionString", "KoGetLastErrorText"};
#undef QMX4_NAME
}

std::string join(const std::vector<std::string>& items, const std::string& with = ", ")
{
    std::string all;
    for (const std::string& item : items)
        all += (all.empty() ? "" : with) + item;
    return all;
}

std::string kind(const ElfInfo& elf)
{
    return std::to_string(elf.bits) + "-bit " + machineName(elf.machine);
}

std::string ownKind()
{
    return std::to_string(sizeof(void*) * 8) + "-bit " + machineName(ownMachine());
}

// The triplet directory of the default ones ("/usr/lib/x86_64-linux-gnu").
std::string multiarchDirectory()
{
    const std::vector<std::string> dirs = defaultDirectories();
    return dirs.size() > 1 ? dirs[1] : "/usr/lib";
}

struct Gathered {
    Diagnosis d;
    // Adds a check; the first FAIL gives the cause and the fix.
    void check(const std::string& name, const std::string& status, const std::string& detail,
               const std::string& cause = "", const std::string& fix = "", const std::vector<std::string>& dropin = {})
    {
        d.checks.push_back({name, status, detail});
        if (status == "FAIL" && d.cause.empty())
            d.cause = cause.empty() ? detail : cause, d.fix = fix, d.dropin = dropin;
    }
};

// Why the loader does not take `file` for the library, with the fix.
void whyNotTaken(const LibraryFile& file, std::string& why, std::string& fix)
{
    if (!file.elf.error.empty()) {
        why = file.path + ": " + file.elf.error;
        fix = "replace it with the vendor's library; then ldconfig" + thenStart;
    } else if (!suitsThisSystem(file.elf)) {
        why = file.path + " is a " + kind(file.elf) + " library; this system's programs are " + ownKind();
        fix = "install the vendor's " + ownKind() + " build of " + library + " in /usr/local/lib and remove this one; "
              "then ldconfig" + thenStart;
    } else if (file.elf.soname != library) {
        why = file.path + " has the SONAME " + (file.elf.soname.empty() ? "(none)" : file.elf.soname) +
              ": ldconfig's cache knows it by that, and the programs ask for " + library;
        fix = "link it under the name the programs ask for in a directory the loader searches by name: ln -s " +
              file.path + " " + multiarchDirectory() + "/" + library + thenStart;
    } else {
        why = file.path + " is not in ldconfig's cache";
        fix = std::string("ldconfig") + thenStart;
    }
}

void checkFile(Gathered& g, const Lookup& lookup, const Options& o)
{
    if (!lookup.cacheError.empty())
        g.check("library", "warn", "ldconfig's cache could not be read: " + lookup.cacheError);
    if (!lookup.taken()) {
        std::string why = "no " + std::string(library) + " is installed where the dynamic loader looks";
        std::string fix = "install the vendor's library in /usr/local/lib; then ldconfig" + thenStart;
        if (!lookup.files.empty())
            whyNotTaken(lookup.files.front(), why, fix);
        g.check("library", "FAIL", "the dynamic loader finds no " + std::string(library), why, fix);
    } else {
        const LibraryFile& file = *lookup.taken();
        g.d.library = file.path;
        if (!o.library.empty())
            g.check("library", access(file.path.c_str(), R_OK) == 0 ? "ok" : "FAIL", file.path + ", as given");
        else
            g.check("library", "ok",
                    file.path + (file.cachedAs.empty() ? ", by file name in a default directory" : ", from ldconfig's cache"));
    }
    for (size_t i = 0; i < lookup.files.size(); ++i) {
        if (static_cast<int>(i) == lookup.found || (lookup.found < 0 && i == 0))
            continue;
        std::string why, fix;
        whyNotTaken(lookup.files[i], why, fix);
        if (lookup.found >= 0 && lookup.files[i].elf.soname == library && suitsThisSystem(lookup.files[i].elf))
            why = lookup.files[i].path + " is a second library of that name, which the loader does not take: remove "
                  "the one you do not want (dpkg -S names a package's)";
        g.check("others", "warn", why);
    }
}

void checkContents(Gathered& g, const Lookup& lookup, bool memoryDenyWriteExecute, bool given)
{
    const LibraryFile& file = *lookup.taken();
    const ElfInfo& elf = file.elf;
    const std::string described = "ELF " + kind(elf) + ", SONAME " + (elf.soname.empty() ? "(none)" : elf.soname);
    if (elf.soname == library) {
        g.check("file", "ok", described);
    } else {
        std::string why, fix;
        whyNotTaken(file, why, fix);
        // Found by its file name it loads; installed by ldconfig it is not found.
        g.check("file", given ? "FAIL" : "warn", described, why, fix);
    }
    std::vector<std::string> missing;
    for (const std::string& needed : elf.needed)
        if (!loaderFinds(needed, elf, lookup))
            missing.push_back(needed);
    if (missing.empty())
        g.check("dependencies", "ok", elf.needed.empty() ? "none" : join(elf.needed));
    else
        g.check("dependencies", "FAIL", "not found by the dynamic loader: " + join(missing),
                "the device library needs " + join(missing) + ", which " + (missing.size() > 1 ? "are" : "is") +
                    " not installed",
                "install " + join(missing, " and ") + " from the vendor of the library in /usr/local/lib; then ldconfig" +
                    thenStart);
    missing.clear();
    const std::vector<std::string> functions = interfaceFunctions();
    for (const std::string& f : functions)
        if (!elf.functions.count(f))
            missing.push_back(f);
    if (missing.empty())
        g.check("functions", "ok", "all " + std::to_string(functions.size()) + " Ko functions the programs call");
    else
        g.check("functions", "FAIL", "missing: " + join(missing), "the device library lacks functions the programs call: " + join(missing),
                "ask the vendor for the library version 1.5.1 that has them");
    if (!elf.execstack)
        g.check("stack", "ok", "not executable");
    else if (!memoryDenyWriteExecute)
        g.check("stack", "warn", "it asks for an executable stack; the service allows it");
    else
        g.check("stack", "FAIL", "it asks for an executable stack, which the service's MemoryDenyWriteExecute=yes refuses",
                "the device library asks for an executable stack, which the service's MemoryDenyWriteExecute=yes refuses",
                "systemctl edit qmx4-fwload.service and add the lines below" + thenStart, {"MemoryDenyWriteExecute=no"});
}

void checkSession(Gathered& g, const SandboxFinding& f)
{
    if (f.probe.ok()) {
        g.check("session", "ok", f.probe.verdict.substr(4) + " " + f.how);
        return;
    }
    const std::string what = "failed " + f.how + ": " + f.probe.failure();
    if (!f.sandboxed || f.notTheSandbox || f.settings.empty()) {
        char words[256];
        const std::string cause = f.probe.status == 127 ? loadfailure_words(f.probe.firstLine.c_str(), words, sizeof words)
                                  : f.sandboxed && f.notTheSandbox ? "the library fails outside the sandbox too: " + f.probe.failure()
                                                                   : "the library failed: " + f.probe.failure();
        g.check("session", "FAIL", what, cause,
                "the library's text says why; the vendor's documentation, qmx4-fwctl(8) and qmx4-fwload-library(7) help");
        return;
    }
    g.check("session", "FAIL", what,
            "the service's sandbox refuses the library (" + join(f.settings) + "): " + f.probe.failure(),
            "systemctl edit qmx4-fwload.service and add the lines below" + thenStart +
                (f.dropinWorks ? " (tried: with them a session opened and closed)" : " (tried: not enough on its own)"),
            f.dropin);
}

// The probe beside this program (the build tree), else the installed one.
std::string probePath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, static_cast<size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "qmx4-fwload-probe";
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return QMX4_PROBE;
}

} // namespace

Diagnosis diagnose(const Options& o)
{
    Gathered g;
    const Lookup lookup = findLibrary(o.library);
    const UnitSandbox sandbox = readUnitSandbox(unit);
    checkFile(g, lookup, o);
    const LibraryFile* taken = lookup.taken();
    // A file the loader would not take is not tried: with --library, the
    // loader would pass over it and find another.
    if (!taken || !suitsThisSystem(taken->elf)) {
        if (taken) {
            std::string why, fix;
            whyNotTaken(*taken, why, fix);
            g.check("file", "FAIL", why, why, fix);
        }
        g.check("session", "warn", "not tried: there is no library the loader would load");
        return g.d;
    }
    checkContents(g, lookup, sandbox.has("MemoryDenyWriteExecute=yes", true), !o.library.empty());
    checkSession(g, trySandbox(probePath(), o.base, o.library, sandbox, unit));
    return g.d;
}

void render(const Diagnosis& d, bool table, bool json, std::ostream& out)
{
    if (json) {
        std::vector<std::string> checks, dropin;
        for (const Check& c : d.checks)
            checks.push_back(json::Object()("check", json::text(c.name))("status", json::text(c.status))(
                                 "detail", json::text(c.detail))
                                 .str());
        for (const std::string& line : d.dropin)
            dropin.push_back(json::text(line));
        out << json::Object()("usable", json::boolean(d.usable()))(
                   "library", d.library.empty() ? json::null : json::text(d.library))("checks", json::array(checks))(
                   "cause", d.cause.empty() ? json::null : json::text(d.cause))(
                   "fix", d.fix.empty() ? json::null : json::text(d.fix))("dropin", json::array(dropin))
                   .str()
            << '\n';
        return;
    }
    report::Table t{{"CHECK", "STATUS", "DETAIL"}, {}};
    for (const Check& c : d.checks)
        t.rows.push_back({c.name, c.status, c.detail});
    if (!table) {
        t.rows.push_back({"verdict", d.usable() ? "ok" : "FAIL", d.usable() ? "a pass can use the library" : d.cause});
        if (!d.fix.empty())
            t.rows.push_back({"fix", "-", d.fix});
        for (const std::string& line : d.dropin)
            t.rows.push_back({"dropin", "-", line});
        report::print(t, false, out);
        return;
    }
    report::print(t, true, out);
    if (d.usable()) {
        out << "\nA pass can use the library.\n";
        return;
    }
    out << "\ncause: " << report::printable(d.cause) << "\nfix:   " << report::printable(d.fix) << '\n';
    if (!d.dropin.empty())
        out << "\n    [Service]\n";
    for (const std::string& line : d.dropin)
        out << "    " << report::printable(line) << '\n';
}

LoadProblem loadProblem()
{
    Gathered g;
    const Lookup lookup = findLibrary();
    checkFile(g, lookup, Options());
    if (lookup.taken() && suitsThisSystem(lookup.taken()->elf))
        checkContents(g, lookup, false, false);
    return {!lookup.files.empty(), g.d.cause};
}

} // namespace doctor
} // namespace fwctl

namespace fwctl {
namespace command {

int doctor(const Options& o, std::ostream& out, std::ostream&)
{
    const doctor::Diagnosis d = doctor::diagnose(o);
    doctor::render(d, o.table, o.json, out);
    return d.usable() ? 0 : 1;
}

} // namespace command
} // namespace fwctl
