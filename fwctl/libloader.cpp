// The device library's C functions for qmx4-fwctl, loaded on first use.
// The companion does not link libqmx4-1.5.1.so: help, check and rules must
// work where the vendor's library is not installed yet, which is when an
// administrator checks a configuration before plugging a device in. Each
// function here looks up its namesake in the library the first time it is
// called. Where the library cannot be loaded, every function fails with a
// result code whose text (KoGetLastErrorText) says so, with the loader's
// reason, so that a device command ends with that one line through the
// device layer's usual error handling.

#include "doctor.h"
#include "loadfailure.h"
#include "qmx4.h"

#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

const char* const libraryName = LOADFAILURE_LIBRARY;

// The code every function returns when the library is missing; a real
// library's codes are its own, and this one is only ever looked up here.
const int notLoaded = -424242;

std::string reason;

void* library()
{
    static void* handle = [] {
        // dlmopen into the program's own namespace is dlopen, except that
        // sanitizers do not wrap it: a wrapped dlopen searches the wrapper's
        // RUNPATH instead of this program's.
        void* opened = dlmopen(LM_ID_BASE, libraryName, RTLD_NOW | RTLD_LOCAL);
        if (!opened) {
            const std::string loader = dlerror();
            // "Not installed" only when no file of the name is found;
            // otherwise what keeps it from loading, as doctor says it.
            fwctl::doctor::LoadProblem problem = fwctl::doctor::loadProblem();
            if (!problem.anyFile) {
                reason = "the device library is not installed: " + loader;
            } else {
                char words[256];
                if (problem.cause.empty())
                    problem.cause = loadfailure_words(loader.c_str(), words, sizeof words);
                reason = "the device library cannot be loaded: " + problem.cause + " (" + loader +
                         "); qmx4-fwctl doctor says more";
            }
        }
        return opened;
    }();
    return handle;
}

void* symbol(const char* name)
{
    void* found = library() ? dlsym(library(), name) : nullptr;
    if (library() && !found)
        reason = std::string("the device library ") + libraryName + " has no function " + name;
    return found;
}

} // namespace

// One forwarding function: looks the real one up once, then calls it.
#define QMX4_FORWARD(name, params, args)                                                \
    int name params                                                                     \
    {                                                                                   \
        static const auto real = reinterpret_cast<decltype(&::name)>(symbol(#name)); \
        return real ? real args : notLoaded;                                            \
    }

extern "C" {

QMX4_FUNCTIONS(QMX4_FORWARD)

const char* KoGetQmx4VersionString(void)
{
    static const auto real = reinterpret_cast<decltype(&::KoGetQmx4VersionString)>(symbol("KoGetQmx4VersionString"));
    return real ? real() : nullptr;
}

int KoGetLastErrorText(int code, char* text)
{
    static const auto real = reinterpret_cast<decltype(&::KoGetLastErrorText)>(symbol("KoGetLastErrorText"));
    if (code != notLoaded && real)
        return real(code, text);
    const std::string message = "qmx4-fwctl: " + reason;
    std::strncpy(text, message.c_str(), QMX4_TEXT_SIZE - 1);
    return 0;
}

} // extern "C"
