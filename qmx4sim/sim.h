#ifndef QMX4SIM_SIM_H
#define QMX4SIM_SIM_H

// What the stand-in's functions share: the session over the simulated bus,
// the error codes and their texts, and Call, which journals one call and
// plays the bus file's scripted failures. Internal to the library.

#include "bus.h"
#include "qmx4.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qmx4sim {

enum Code {
    NotInitialised = 1,
    BadIndex,
    BadHandle,
    BadArgument,
    FileNotFound,
    FileUnreadable,
    FileEmpty,
    WrongType,
    OutOfRange,
    BadBusFile,
    WriteFailed,
    StartupFailed,
};

struct Session {
    bool open = false;
    Bus bus;
    std::vector<size_t> listed;    // bus indexes of the latest enumeration
    std::map<int, size_t> handles; // open handle -> bus index
    int nextHandle = 1;
    int logLevel = 0;
};

extern Session session;

// Records the text for `code` (KoGetLastErrorText gives it) and returns code.
int fail(int code, const std::string& text);

// Refuses a call outside a session.
int notInitialised();

// One journal line per call: name, arguments, result and the out-values.
// Without a journal (QMX4SIM_JOURNAL) nothing is formatted.
class Call {
public:
    explicit Call(const char* name) : name(name), journal(std::getenv("QMX4SIM_JOURNAL")) {}
    template <typename T> Call& arg(const char* key, const T& value)
    {
        if (journal)
            args += (args.empty() ? "" : ", ") + std::string(key) + '=' + format(value);
        return *this;
    }
    Call& text(const char* key, const char* value)
    {
        return value ? arg(key, '"' + std::string(value) + '"') : arg(key, "null");
    }
    Call& pointer(const char* key, const void* value) { return arg(key, value ? "set" : "null"); }
    template <typename T> Call& out(const char* key, const T& value)
    {
        if (journal)
            outs += (outs.empty() ? "" : ", ") + std::string(key) + '=' + format(value);
        return *this;
    }
    // Writes the journal line; returns code.
    int done(int code);
    // The code of a scripted failure of this call for the device at bus
    // index `device` (-1: none in particular), or 0.
    int injected(int device = -1);

private:
    template <typename T> static std::string format(const T& value)
    {
        std::ostringstream text;
        text << value;
        return text.str();
    }

    std::string name;
    const char* journal;
    std::string args, outs;
};

// The device behind an open handle, or the code that refuses the call.
int lookup(Call& call, int handle, SimDevice*& device);

// Runs act(device) for the device behind an open handle and ends the call
// with act's result, or with the code that refused the handle.
template <typename Act> int onDevice(Call& call, int handle, Act act)
{
    SimDevice* device = nullptr;
    if (int code = lookup(call, handle, device))
        return call.done(code);
    return call.done(act(*device));
}

// Copies a text into a caller's 16384-byte buffer. A longer text fills it
// without a terminator: how a bus file plays a library that breaks the rule.
void writeText(char* buffer, const std::string& text);

} // namespace qmx4sim

#endif
