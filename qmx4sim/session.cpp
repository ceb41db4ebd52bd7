// The stand-in's session: KoInit to KoDeInit over the simulated bus,
// enumeration, opening and closing, error texts, the journal and the
// scripted failures that every call goes through.

#include "sim.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <unistd.h>

// What went wrong in a start-up of the library's own, or null: defined only
// by the variants the tests build with the traits of closed libraries
// (tests/closedlib), whose sessions then fail with that text.
extern "C" const char* qmx4sim_startup(void) __attribute__((weak));

namespace qmx4sim {

Session session;

namespace {

#ifdef QMX4SIM_VARIANT
const char* const version = "QMX4 device library simulator 1.5.1 (" QMX4SIM_VARIANT ")";
#else
const char* const version = "QMX4 device library simulator 1.5.1";
#endif

std::map<int, std::string> errorTexts; // the latest text given for each code

// The bus of a session in `directory`: QMX4SIM_BUS when set, else the file
// qmx4sim.xml there, else the directory qmx4sim.d there.
std::string busPath(const std::string& directory)
{
    const char* override = std::getenv("QMX4SIM_BUS");
    if (override && *override)
        return override;
    const std::string file = directory + "qmx4sim.xml";
    return access(file.c_str(), F_OK) == 0 ? file : directory + "qmx4sim.d";
}

int openSession(Call& call, const std::string& directory)
{
    session = Session();
    if (qmx4sim_startup)
        if (const char* failure = qmx4sim_startup())
            return call.done(fail(StartupFailed, failure));
    const std::string error = qmx4sim::loadBus(busPath(directory), session.bus);
    if (!error.empty())
        return call.done(fail(BadBusFile, error));
    if (int code = call.injected())
        return call.done(code);
    session.open = true;
    return call.done(0);
}

int listedDevice(Call& call, int index, size_t& busIndex)
{
    if (!session.open)
        return notInitialised();
    if (index < 0 || static_cast<size_t>(index) >= session.listed.size())
        return fail(BadIndex, "Device index " + std::to_string(index) + " is not in the latest enumeration (" +
                                  std::to_string(session.listed.size()) + " devices).");
    busIndex = session.listed[static_cast<size_t>(index)];
    return call.injected(static_cast<int>(busIndex));
}

} // namespace

int fail(int code, const std::string& text)
{
    errorTexts[code] = text;
    return code;
}

int notInitialised()
{
    return fail(NotInitialised, "The library is not initialised: call KoInit or KoInitEx first.");
}

int Call::done(int code)
{
    if (journal && *journal) {
        std::ofstream file(journal, std::ios::app);
        file << name << '(' << args << ") = " << code;
        if (code == 0 && !outs.empty())
            file << " [" << outs << ']';
        file << '\n';
    }
    return code;
}

int Call::injected(int device)
{
    for (auto& f : session.bus.faults) {
        if (f.function != name || (f.device != -1 && f.device != device))
            continue;
        ++f.seen;
        if ((f.occurrence != 0 && f.seen != f.occurrence) || f.times == 0)
            continue;
        if (f.times > 0) {
            // Counted down in the bus file, so that the next pass sees it.
            --f.times;
            const std::string error = saveFault(session.bus, f);
            if (!error.empty())
                return fail(WriteFailed, error);
        }
        return fail(f.code, f.text);
    }
    return 0;
}

int lookup(Call& call, int handle, SimDevice*& device)
{
    if (!session.open)
        return notInitialised();
    auto it = session.handles.find(handle);
    if (it == session.handles.end())
        return fail(BadHandle, "Handle " + std::to_string(handle) + " does not name an open device.");
    device = &session.bus.devices[it->second];
    return call.injected(static_cast<int>(it->second));
}

void writeText(char* buffer, const std::string& text)
{
    const size_t n = std::min(text.size(), static_cast<size_t>(QMX4_TEXT_SIZE));
    std::memcpy(buffer, text.data(), n);
    if (n < QMX4_TEXT_SIZE)
        buffer[n] = '\0';
}

} // namespace qmx4sim

using namespace qmx4sim;

extern "C" {

int KoInit(void)
{
    Call call("KoInit");
    return openSession(call, "");
}

int KoInitEx(const char* path)
{
    Call call("KoInitEx");
    call.text("path", path);
    if (!path)
        return call.done(fail(BadArgument, "KoInitEx: the path is null."));
    return openSession(call, std::string(path) + "/");
}

int KoDeInit(void)
{
    Call call("KoDeInit");
    if (!session.open)
        return call.done(notInitialised());
    if (int code = call.injected())
        return call.done(code);
    session = Session();
    return call.done(0);
}

int KoSetLogLevel(int level)
{
    Call call("KoSetLogLevel");
    call.arg("level", level);
    if (!session.open)
        return call.done(notInitialised());
    if (int code = call.injected())
        return call.done(code);
    session.logLevel = level;
    return call.done(0);
}

const char* KoGetQmx4VersionString(void)
{
    Call call("KoGetQmx4VersionString");
    const bool missing = call.injected() != 0;
    call.done(missing ? 1 : 0);
    return missing ? nullptr : version;
}

int KoGetLastErrorText(int code, char* text)
{
    if (!text)
        return BadArgument;
    auto it = errorTexts.find(code);
    writeText(text, it != errorTexts.end() ? it->second : "Unknown error code " + std::to_string(code) + ".");
    return 0;
}

int KoEnumerate(int type, int* count)
{
    Call call("KoEnumerate");
    call.arg("type", type).arg("count_in", count ? std::to_string(*count) : "null");
    if (!session.open)
        return call.done(notInitialised());
    if (!count)
        return call.done(fail(BadArgument, "KoEnumerate: the count pointer is null."));
    if (int code = call.injected())
        return call.done(code);
    session.listed.clear();
    for (size_t i = 0; i < session.bus.devices.size(); ++i)
        if (type == -1 || session.bus.devices[i].derivateId == type)
            session.listed.push_back(i);
    *count = static_cast<int>(session.listed.size());
    return call.out("count", *count).done(0);
}

int KoEnumerateInfo(int index, char* text, int* state, int* extra, int* vid, int* pid)
{
    Call call("KoEnumerateInfo");
    call.arg("index", index);
    size_t busIndex = 0;
    if (int code = listedDevice(call, index, busIndex))
        return call.done(code);
    if (!text || !state || !extra || !vid || !pid)
        return call.done(fail(BadArgument, "KoEnumerateInfo: an out pointer is null."));
    const SimDevice& d = session.bus.devices[busIndex];
    writeText(text, d.name);
    *state = d.state;
    *extra = d.extra;
    *vid = d.vid;
    *pid = d.pid;
    return call.out("name", '"' + d.name + '"').out("state", d.state).out("vid", d.vid).out("pid", d.pid).done(0);
}

int KoOpen(int index, int* handle)
{
    Call call("KoOpen");
    call.arg("index", index).arg("handle_in", handle ? std::to_string(*handle) : "null");
    size_t busIndex = 0;
    if (int code = listedDevice(call, index, busIndex))
        return call.done(code);
    if (!handle)
        return call.done(fail(BadArgument, "KoOpen: the handle pointer is null."));
    *handle = session.nextHandle++;
    session.handles[*handle] = busIndex;
    return call.out("handle", *handle).done(0);
}

int KoClose(int handle)
{
    Call call("KoClose");
    call.arg("handle", handle);
    return onDevice(call, handle, [&](SimDevice&) {
        session.handles.erase(handle);
        return 0;
    });
}

} // extern "C"
