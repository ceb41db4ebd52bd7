#ifndef FWCTL_LIBRARYFIND_H
#define FWCTL_LIBRARYFIND_H

// Where the dynamic loader finds the device library, and every other file
// that looks like it: read from ldconfig's cache (ldconfig -p) and the
// library directories, each file's ELF headers read (elfinfo.h), nothing
// loaded. The loader's own order: ldconfig's cache by SONAME, then its
// default directories by file name.

#include "elfinfo.h"

#include <string>
#include <vector>

namespace fwctl {

struct CacheEntry {
    std::string name;  // the name the cache knows the file by (its SONAME)
    std::string flags; // as ldconfig prints them: "libc6,x86-64"
    std::string path;
};

struct LibraryFile {
    std::string path;
    std::string cachedAs; // the name ldconfig's cache gives it, "" when not in the cache
    ElfInfo elf;
};

struct Lookup {
    std::string cacheError;          // why ldconfig's cache could not be read, "" when it was
    std::vector<CacheEntry> cache;   // every entry of the cache
    std::vector<LibraryFile> files;  // every libqmx4* file in the cache or the library directories
    int found = -1;                  // the one the loader takes for libqmx4-1.5.1.so, -1 when none
    const LibraryFile* taken() const { return found < 0 ? nullptr : &files[static_cast<size_t>(found)]; }
};

// Looks the library up as the loader would for this program. `only` (a
// path) skips the search: that file is taken as the one the loader finds.
Lookup findLibrary(const std::string& only = "");

// Whether the loader finds `name`, a dependency of a library of `of`'s
// class and machine: in `of`'s RUNPATH, ldconfig's cache or the default
// directories.
bool loaderFinds(const std::string& name, const ElfInfo& of, const Lookup& lookup);

// Whether `elf` suits this program: its class and machine.
bool suitsThisSystem(const ElfInfo& elf);

// The directories the loader searches by default after its cache, for
// this system ("/lib/x86_64-linux-gnu", ...).
std::vector<std::string> defaultDirectories();

} // namespace fwctl

#endif
