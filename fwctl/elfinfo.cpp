// The ELF reading of qmx4-fwctl doctor, through libelf, which checks every
// offset and size against the file it is given.

#include "elfinfo.h"

#include "regularfile.h"

#include <elf.h>
#include <gelf.h>
#include <libelf.h>
#include <memory>

namespace fwctl {

namespace {

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};

// The string at `offset` of the string table in section `table`, or "".
std::string stringAt(Elf* elf, size_t table, size_t offset)
{
    const char* text = elf_strptr(elf, table, offset);
    return text ? text : "";
}

// The entries of a section of fixed-size entries, or 0 for a damaged one.
size_t entries(const GElf_Shdr& header)
{
    return header.sh_entsize ? header.sh_size / header.sh_entsize : 0;
}

void readDynamic(Elf* elf, Elf_Scn* section, const GElf_Shdr& header, ElfInfo& info)
{
    Elf_Data* data = elf_getdata(section, nullptr);
    for (size_t i = 0; data && i < entries(header); ++i) {
        GElf_Dyn entry;
        if (!gelf_getdyn(data, static_cast<int>(i), &entry))
            break;
        const std::string text = stringAt(elf, header.sh_link, entry.d_un.d_val);
        if (entry.d_tag == DT_NEEDED)
            info.needed.push_back(text);
        else if (entry.d_tag == DT_SONAME)
            info.soname = text;
        else if (entry.d_tag == DT_RUNPATH || entry.d_tag == DT_RPATH)
            for (size_t from = 0; from <= text.size();) {
                const size_t colon = std::min(text.find(':', from), text.size());
                if (colon > from)
                    info.runpath.push_back(text.substr(from, colon - from));
                from = colon + 1;
            }
        else if (entry.d_tag == DT_NULL)
            break;
    }
}

void readSymbols(Elf* elf, Elf_Scn* section, const GElf_Shdr& header, ElfInfo& info)
{
    Elf_Data* data = elf_getdata(section, nullptr);
    for (size_t i = 0; data && i < entries(header); ++i) {
        GElf_Sym symbol;
        if (!gelf_getsym(data, static_cast<int>(i), &symbol))
            break;
        const int type = GELF_ST_TYPE(symbol.st_info), bind = GELF_ST_BIND(symbol.st_info);
        if ((type == STT_FUNC || type == STT_GNU_IFUNC) && (bind == STB_GLOBAL || bind == STB_WEAK) &&
            symbol.st_shndx != SHN_UNDEF && GELF_ST_VISIBILITY(symbol.st_other) == STV_DEFAULT)
            info.functions.insert(stringAt(elf, header.sh_link, symbol.st_name));
    }
}

} // namespace

ElfInfo readElf(const char* data, size_t size)
{
    ElfInfo info;
    elf_version(EV_CURRENT);
    std::string image(data, size); // libelf takes a writable image
    std::unique_ptr<Elf, ElfCloser> elf(elf_memory(image.data(), image.size()));
    GElf_Ehdr header;
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF || !gelf_getehdr(elf.get(), &header))
        return info.error = "it is no ELF file", info;
    info.bits = gelf_getclass(elf.get()) == ELFCLASS32 ? 32 : 64;
    info.machine = header.e_machine;
    if (header.e_type != ET_DYN)
        return info.error = "it is no shared library (ELF type " + std::to_string(header.e_type) + ")", info;
    size_t count = 0;
    bool stack = false;
    for (size_t i = 0; elf_getphdrnum(elf.get(), &count) == 0 && i < count; ++i) {
        GElf_Phdr program;
        if (gelf_getphdr(elf.get(), static_cast<int>(i), &program) && program.p_type == PT_GNU_STACK)
            stack = true, info.execstack = (program.p_flags & PF_X) != 0;
    }
    // Without the header the loader gives such a library an executable stack.
    info.execstack = info.execstack || !stack;
    bool dynamic = false;
    for (Elf_Scn* section = nullptr; (section = elf_nextscn(elf.get(), section));) {
        GElf_Shdr part;
        if (!gelf_getshdr(section, &part))
            continue;
        if (part.sh_type == SHT_DYNAMIC)
            dynamic = true, readDynamic(elf.get(), section, part, info);
        else if (part.sh_type == SHT_DYNSYM)
            readSymbols(elf.get(), section, part, info);
    }
    if (!dynamic)
        info.error = "no dynamic section was found in it (no shared library, or one whose section headers are stripped)";
    return info;
}

ElfInfo readElfFile(const std::string& path)
{
    std::string content, why;
    if (regularfile::readWhole(path, content, why) != 0) {
        ElfInfo info;
        info.error = "can't read it: " + why;
        return info;
    }
    return readElf(content.data(), content.size());
}

int ownMachine()
{
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__i386__)
    return EM_386;
#elif defined(__arm__)
    return EM_ARM;
#elif defined(__riscv)
    return EM_RISCV;
#elif defined(__powerpc64__)
    return EM_PPC64;
#elif defined(__s390x__)
    return EM_S390;
#else
    return EM_NONE;
#endif
}

std::string machineName(int machine)
{
    switch (machine) {
    case EM_X86_64: return "x86-64";
    case EM_386: return "i386";
    case EM_AARCH64: return "aarch64";
    case EM_ARM: return "arm";
    case EM_RISCV: return "riscv";
    case EM_PPC64: return "ppc64";
    case EM_S390: return "s390x";
    default: return "machine " + std::to_string(machine);
    }
}

} // namespace fwctl
