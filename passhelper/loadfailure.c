#include "loadfailure.h"

#include <stdio.h>
#include <string.h>

/* The file name the loader's text names before `at`, as in "NAME: cannot
   open shared object file", copied into `name`. */
static void nameBefore(const char *text, const char *at, char *name, size_t size)
{
    const char *end = at;
    while (end > text && end[-1] == ' ')
        --end;
    if (end > text && end[-1] == ':')
        --end;
    const char *start = end;
    while (start > text && start[-1] != ' ' && start[-1] != ':')
        --start;
    const size_t n = (size_t)(end - start) < size ? (size_t)(end - start) : size - 1;
    memcpy(name, start, n);
    name[n] = '\0';
}

const char *loadfailure_words(const char *text, char *out, size_t size)
{
    const char *found;
    char name[128];
    if (!text)
        text = "";
    if (strstr(text, "cannot enable executable stack"))
        snprintf(out, size, "the device library asks for an executable stack, which was refused (by the "
                            "pass service's MemoryDenyWriteExecute=yes, or by a C library that refuses it to "
                            "a library loaded at run time)");
    else if (strstr(text, "wrong ELF class"))
        snprintf(out, size, "the file found as " LOADFAILURE_LIBRARY " is built for another word size "
                            "(a 32-bit library on a 64-bit system, or the reverse)");
    else if ((found = strstr(text, "undefined symbol: ")))
        snprintf(out, size, "the device library lacks a function the program calls (%.64s)", found + 18);
    else if (strstr(text, "invalid ELF header") || strstr(text, "file too short"))
        snprintf(out, size, "the file found as " LOADFAILURE_LIBRARY " is no shared library");
    else if ((found = strstr(text, "cannot open shared object file"))) {
        nameBefore(text, found, name, sizeof name);
        if (strcmp(name, LOADFAILURE_LIBRARY) == 0 || !name[0])
            snprintf(out, size, "the dynamic loader finds no " LOADFAILURE_LIBRARY " (not installed, not in "
                                "ldconfig's cache, or installed under another SONAME or for another "
                                "architecture)");
        else
            snprintf(out, size, "the device library needs %s, which the dynamic loader cannot find", name);
    } else
        snprintf(out, size, "the device library could not be loaded");
    return out;
}
