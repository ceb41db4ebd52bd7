#include "libraryfind.h"

#include "loadfailure.h"
#include "subprocess.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fwctl {

namespace {

bool exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The directory this program's C library was loaded from: the
// multiarch directory on Debian ("/lib/x86_64-linux-gnu").
std::string libcDirectory()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&getpid), &info) == 0 || !info.dli_fname)
        return "";
    const std::string path = info.dli_fname;
    return path.substr(0, path.rfind('/'));
}

// `ldconfig -p`: lines "\tNAME (FLAGS) => PATH" after a count.
std::vector<CacheEntry> readCache(std::string& error)
{
    std::vector<CacheEntry> entries;
    const char* ldconfig = access("/sbin/ldconfig", X_OK) == 0 ? "/sbin/ldconfig" : "/usr/sbin/ldconfig";
    // Whole: a desktop's cache lists thousands of libraries.
    const Ran ran = runProgram({ldconfig, "-p"}, 30, {}, 64 << 20);
    if (ran.status != 0) {
        error = std::string(ldconfig) + " -p " +
                (ran.status < 0 ? "could not run: " + ran.error : "failed (exit status " + std::to_string(ran.status) + ")");
        return entries;
    }
    std::istringstream lines(ran.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t open = line.find(" ("), close = line.find(") => ");
        if (line.empty() || line[0] != '\t' || open == std::string::npos || close == std::string::npos || close < open)
            continue;
        entries.push_back({line.substr(1, open - 1), line.substr(open + 2, close - open - 2), line.substr(close + 5)});
    }
    return entries;
}

// The directories to look for copies of the library in: the loader's and
// ldconfig's usual ones, and those of /etc/ld.so.conf.d.
std::vector<std::string> searchDirectories(const std::vector<CacheEntry>& cache)
{
    std::vector<std::string> dirs = defaultDirectories();
    const std::string multiarch = libcDirectory();
    const std::string triplet = multiarch.substr(multiarch.rfind('/') + 1);
    for (const char* d : {"/usr/local/lib", "/lib", "/usr/lib", "/lib64", "/usr/lib64", "/lib32", "/usr/lib32"})
        dirs.push_back(d);
    dirs.push_back("/usr/local/lib/" + triplet);
    if (DIR* conf = opendir("/etc/ld.so.conf.d")) {
        while (dirent* entry = readdir(conf)) {
            std::ifstream file(std::string("/etc/ld.so.conf.d/") + entry->d_name);
            for (std::string line; std::getline(file, line);)
                if (!line.empty() && line[0] == '/')
                    dirs.push_back(line.substr(0, line.find_first_of(" \t#")));
        }
        closedir(conf);
    }
    for (const CacheEntry& e : cache)
        if (e.name.rfind("libqmx4", 0) == 0)
            dirs.push_back(e.path.substr(0, e.path.rfind('/')));
    return dirs;
}

// Adds `path` unless the same file is there already.
void addFile(Lookup& lookup, const std::string& path, const std::string& cachedAs)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return;
    for (LibraryFile& known : lookup.files) {
        struct stat other;
        if (stat(known.path.c_str(), &other) == 0 && other.st_dev == info.st_dev && other.st_ino == info.st_ino) {
            if (known.cachedAs.empty())
                known.cachedAs = cachedAs;
            return;
        }
    }
    lookup.files.push_back({path, cachedAs, readElfFile(path)});
}

} // namespace

std::vector<std::string> defaultDirectories()
{
    const std::string multiarch = libcDirectory();
    std::vector<std::string> dirs;
    if (!multiarch.empty()) {
        const std::string triplet = multiarch.substr(multiarch.rfind('/') + 1);
        dirs = {"/lib/" + triplet, "/usr/lib/" + triplet};
    }
    dirs.insert(dirs.end(), {"/lib", "/usr/lib"});
    return dirs;
}

bool suitsThisSystem(const ElfInfo& elf)
{
    return elf.error.empty() && elf.bits == static_cast<int>(sizeof(void*) * 8) && elf.machine == ownMachine();
}

Lookup findLibrary(const std::string& only)
{
    Lookup lookup;
    lookup.cache = readCache(lookup.cacheError);
    if (!only.empty()) {
        lookup.files.push_back({only, "", readElfFile(only)});
        lookup.found = 0;
        return lookup;
    }
    // The cache first, in its order: the loader takes the first entry of
    // the name for its own kind of file.
    for (const CacheEntry& e : lookup.cache)
        if (e.name.rfind("libqmx4", 0) == 0)
            addFile(lookup, e.path, e.name);
    for (const std::string& dir : searchDirectories(lookup.cache))
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* entry = readdir(d))
                if (std::string(entry->d_name).rfind("libqmx4", 0) == 0)
                    addFile(lookup, dir + "/" + entry->d_name, "");
            closedir(d);
        }
    for (size_t i = 0; i < lookup.files.size() && lookup.found < 0; ++i)
        if (lookup.files[i].cachedAs == LOADFAILURE_LIBRARY && suitsThisSystem(lookup.files[i].elf))
            lookup.found = static_cast<int>(i);
    // Not in the cache: the default directories, by file name.
    for (const std::string& dir : defaultDirectories())
        for (size_t i = 0; i < lookup.files.size() && lookup.found < 0; ++i)
            if (lookup.files[i].path == dir + "/" LOADFAILURE_LIBRARY && suitsThisSystem(lookup.files[i].elf))
                lookup.found = static_cast<int>(i);
    return lookup;
}

bool loaderFinds(const std::string& name, const ElfInfo& of, const Lookup& lookup)
{
    for (const std::string& dir : of.runpath)
        if (dir.find('$') == std::string::npos && exists(dir + "/" + name))
            return true;
    for (const CacheEntry& e : lookup.cache)
        if (e.name == name) {
            const ElfInfo elf = readElfFile(e.path);
            if (elf.bits == of.bits && elf.machine == of.machine)
                return true;
        }
    for (const std::string& dir : defaultDirectories())
        if (exists(dir + "/" + name)) {
            const ElfInfo elf = readElfFile(dir + "/" + name);
            if (elf.bits == of.bits && elf.machine == of.machine)
                return true;
        }
    return false;
}

} // namespace fwctl
