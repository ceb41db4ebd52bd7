#ifndef FWCTL_ELFINFO_H
#define FWCTL_ELFINFO_H

// What the dynamic loader will make of a shared library file, read from the
// file (through libelf) without loading it: its class and machine, SONAME,
// dependencies, RUNPATH, whether it asks for an executable stack, and the
// functions it exports. Nothing of the file is run.

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace fwctl {

struct ElfInfo {
    std::string error;    // why the file is no usable ELF shared object; "" when it is one
    int bits = 0;         // 32 or 64
    int machine = 0;      // e_machine
    std::string soname;   // DT_SONAME, "" when none
    std::vector<std::string> needed;  // DT_NEEDED, in order
    std::vector<std::string> runpath; // DT_RUNPATH or DT_RPATH, split at ':'
    bool execstack = false;           // a PT_GNU_STACK with PF_X, or none at all
    std::set<std::string> functions;  // defined, exported function symbols
};

// Reads `size` bytes of an ELF file. Any input gives a result: a file that
// is no ELF, is cut short or holds offsets beyond its end has `error` set
// (and what could be read before).
ElfInfo readElf(const char* data, size_t size);

// Reads the file at `path`, at most 256 MiB of it, through the program's
// opener of regular files (no FIFO or device waits); a file that cannot be
// read has `error` set to why.
ElfInfo readElfFile(const std::string& path);

// The machine of this program's own build (e_machine), and a name for a
// machine number ("x86-64", "i386", ..., else "machine N").
int ownMachine();
std::string machineName(int machine);

} // namespace fwctl

#endif
