// A stand-in for the QMX4 device library: the same C interface over a
// simulated bus that an XML file describes (see bus.h and the README).
// Every call can be journalled, and any call can be made to fail by data.

#include "bus.h"
#include "qmx4.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using qmx4sim::Bus;
using qmx4sim::SimDevice;

namespace {

#ifdef QMX4SIM_VARIANT
const char* const version = "QMX4 device library simulator 1.5.1 (" QMX4SIM_VARIANT ")";
#else
const char* const version = "QMX4 device library simulator 1.5.1";
#endif

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
};

struct Session {
    bool open = false;
    Bus bus;
    std::vector<size_t> listed;         // bus indexes of the latest enumeration
    std::map<int, size_t> handles;      // open handle -> bus index
    int nextHandle = 1;
    int logLevel = 0;
};

Session session;
std::map<int, std::string> errorTexts; // the latest text given for each code

int fail(int code, const std::string& text)
{
    errorTexts[code] = text;
    return code;
}

int notInitialised()
{
    return fail(NotInitialised, "The library is not initialised: call KoInit or KoInitEx first.");
}

// One journal line per call: name, arguments, result and the out-values.
// Without a journal nothing is formatted.
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
        if (value)
            return arg(key, '"' + std::string(value) + '"');
        return arg(key, "null");
    }
    Call& pointer(const char* key, const void* value) { return arg(key, value ? "set" : "null"); }
    template <typename T> Call& out(const char* key, const T& value)
    {
        if (journal)
            outs += (outs.empty() ? "" : ", ") + std::string(key) + '=' + format(value);
        return *this;
    }
    int done(int code)
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
    // A scripted failure of this call for the device at bus index `device`.
    int injected(int device = -1)
    {
        for (auto& f : session.bus.faults) {
            if (f.function != name || (f.device != -1 && f.device != device))
                continue;
            ++f.seen;
            if (f.occurrence == 0 || f.seen == f.occurrence)
                return fail(f.code, f.text);
        }
        return 0;
    }

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
    const std::string error = qmx4sim::loadBus(busPath(directory), session.bus);
    if (!error.empty())
        return call.done(fail(BadBusFile, error));
    if (int code = call.injected())
        return call.done(code);
    session.open = true;
    return call.done(0);
}

// The device behind an open handle, or the code that refuses the call.
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

// Copies a text into a caller's 16384-byte buffer. A longer text fills it
// without a terminator: how a bus file plays a library that breaks the rule.
void writeText(char* buffer, const std::string& text)
{
    const size_t n = std::min(text.size(), static_cast<size_t>(QMX4_TEXT_SIZE));
    std::memcpy(buffer, text.data(), n);
    if (n < QMX4_TEXT_SIZE)
        buffer[n] = '\0';
}

int checkBlock(const void* data, int length)
{
    if (length < 0 || (!data && length > 0))
        return fail(BadArgument, "Invalid data block: " + std::string(data ? "set" : "null") + " pointer with length " +
                                     std::to_string(length) + ".");
    return 0;
}

int checkRange(const SimDevice& d, unsigned int address, int length)
{
    if (static_cast<unsigned long long>(address) + static_cast<unsigned>(length) > d.memory.size())
        return fail(OutOfRange, "Block of " + std::to_string(length) + " bytes at address " + std::to_string(address) +
                                    " lies outside the " + std::to_string(d.memory.size()) + " bytes of " + d.name + ".");
    return 0;
}

// The whole content of a file; false when it cannot be opened or read (a
// directory, say) or does not fit into memory.
bool readWhole(const char* path, std::vector<unsigned char>& data)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    try {
        unsigned char block[65536];
        for (;;) {
            const ssize_t n = read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            data.insert(data.end(), block, block + n);
        }
    } catch (const std::exception&) {
        ok = false;
    }
    close(fd);
    return ok;
}

// A file the device can load: present, a readable regular file, not empty.
int checkImage(const char* path, const char* what, std::vector<unsigned char>& image)
{
    if (!path)
        return fail(BadArgument, std::string(what) + " path is null.");
    if (access(path, F_OK) != 0)
        return fail(FileNotFound, std::string(what) + " not found: " + path);
    image.clear();
    if (!readWhole(path, image))
        return fail(FileUnreadable, std::string(what) + " is not a readable file: " + path);
    if (image.empty())
        return fail(FileEmpty, std::string(what) + " is empty: " + path);
    return 0;
}

std::string describeImage(const char* path, const std::vector<unsigned char>& image)
{
    unsigned sum = 0;
    for (unsigned char byte : image)
        sum = sum * 31 + byte;
    const char* slash = std::strrchr(path, '/');
    char text[32];
    std::snprintf(text, sizeof text, "%08x", sum);
    return std::string(slash ? slash + 1 : path) + " (" + std::to_string(image.size()) + " bytes, sum " + text + ")";
}

int programFromMemory(Call& call, int handle, void* data, int length)
{
    call.arg("handle", handle).pointer("data", data).arg("length", length);
    SimDevice* d = nullptr;
    int code = lookup(call, handle, d);
    if (!code)
        code = checkBlock(data, length);
    if (!code && length == 0)
        code = fail(FileEmpty, "The FPGA image in memory is empty.");
    if (!code)
        d->fpgaProgrammed = true;
    return call.done(code);
}

int getText(const char* name, int handle, char* text, std::string SimDevice::*field)
{
    Call call(name);
    call.arg("handle", handle);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    if (!text)
        return call.done(fail(BadArgument, std::string(name) + ": the text buffer is null."));
    writeText(text, d->*field);
    return call.done(0);
}

// A block transfer between the caller's buffer and the device's memory.
int transferBlock(Call& call, int handle, unsigned int address, void* buffer, int length, int mode, bool toDevice)
{
    call.arg("handle", handle).arg("address", address).pointer("buffer", buffer).arg("length", length).arg("mode", mode);
    SimDevice* d = nullptr;
    int code = lookup(call, handle, d);
    if (!code)
        code = checkBlock(buffer, length);
    if (!code)
        code = checkRange(*d, address, length);
    if (!code && length > 0) {
        unsigned char* memory = d->memory.data() + address;
        if (toDevice)
            std::memcpy(memory, buffer, static_cast<size_t>(length));
        else
            std::memcpy(buffer, memory, static_cast<size_t>(length));
    }
    return call.done(code);
}

// A number the library reports about an open device; the journal shows the
// value the caller preset as <key>_in.
int getNumber(const char* name, const std::string& key, int handle, int* out, int SimDevice::*field)
{
    Call call(name);
    call.arg("handle", handle).arg((key + "_in").c_str(), out ? std::to_string(*out) : "null");
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    if (!out)
        return call.done(fail(BadArgument, std::string(name) + ": the " + key + " pointer is null."));
    *out = d->*field;
    return call.out(key.c_str(), *out).done(0);
}

} // namespace

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
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    session.handles.erase(handle);
    return call.done(0);
}

int KoReadRegister(int handle, unsigned int address, unsigned int* value)
{
    Call call("KoReadRegister");
    call.arg("handle", handle).arg("address", address);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    if (!value)
        return call.done(fail(BadArgument, "KoReadRegister: the value pointer is null."));
    *value = d->registers[address];
    return call.out("value", *value).done(0);
}

int KoWriteRegister(int handle, unsigned int address, unsigned int value)
{
    Call call("KoWriteRegister");
    call.arg("handle", handle).arg("address", address).arg("value", value);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    d->registers[address] = value;
    return call.done(0);
}

int KoReadBlock(int handle, unsigned int address, void* buffer, int length, int mode)
{
    Call call("KoReadBlock");
    return transferBlock(call, handle, address, buffer, length, mode, false);
}

int KoWriteBlock(int handle, unsigned int address, void* buffer, int length, int mode)
{
    Call call("KoWriteBlock");
    return transferBlock(call, handle, address, buffer, length, mode, true);
}

int KoWaitForInterrupt(int handle, unsigned int timeout, int* flag)
{
    Call call("KoWaitForInterrupt");
    call.arg("handle", handle).arg("timeout", timeout).arg("flag_in", flag ? std::to_string(*flag) : "null");
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    if (!flag)
        return call.done(fail(BadArgument, "KoWaitForInterrupt: the flag pointer is null."));
    *flag = d->interruptPending ? 1 : 0;
    d->interruptPending = false;
    return call.out("flag", *flag).done(0);
}

int KoEnableInterrupt(int handle)
{
    Call call("KoEnableInterrupt");
    call.arg("handle", handle);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    d->interruptPending = true;
    return call.done(0);
}

int KoResetFpga(int handle)
{
    Call call("KoResetFpga");
    call.arg("handle", handle);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    d->fpgaProgrammed = false;
    return call.done(0);
}

int KoProgramFpgaFromBin(int handle, const char* path)
{
    Call call("KoProgramFpgaFromBin");
    call.arg("handle", handle).text("path", path);
    SimDevice* d = nullptr;
    std::vector<unsigned char> image;
    int code = lookup(call, handle, d);
    if (!code)
        code = checkImage(path, "FPGA image", image);
    if (!code)
        d->fpgaProgrammed = true;
    return call.done(code);
}

int KoProgramFpgaFromMemory(int handle, void* data, int length)
{
    Call call("KoProgramFpgaFromMemory");
    return programFromMemory(call, handle, data, length);
}

int KoProgramFpgaFromMemoryZ(int handle, void* data, int length)
{
    Call call("KoProgramFpgaFromMemoryZ");
    return programFromMemory(call, handle, data, length);
}

int KoSetTimeOut(int handle, unsigned int timeout)
{
    Call call("KoSetTimeOut");
    call.arg("handle", handle).arg("timeout", timeout);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    d->timeout = timeout;
    return call.done(0);
}

int KoEnableBurst(int handle, int enable)
{
    Call call("KoEnableBurst");
    call.arg("handle", handle).arg("enable", enable);
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    if (enable != 0 && enable != 1)
        return call.done(fail(BadArgument, "KoEnableBurst: enable must be 0 or 1, not " + std::to_string(enable) + "."));
    d->burst = enable == 1;
    return call.done(0);
}

int KoInt0(int handle, int type, const char* path)
{
    Call call("KoInt0");
    call.arg("handle", handle).arg("type", type).text("path", path);
    SimDevice* d = nullptr;
    std::vector<unsigned char> image;
    int code = lookup(call, handle, d);
    if (!code)
        code = checkImage(path, "Firmware file", image);
    if (!code && type != d->firmwareType)
        code = fail(WrongType, "Firmware type " + std::to_string(type) + " does not fit " + d->name + ", which takes type " +
                                   std::to_string(d->firmwareType) + ".");
    if (code)
        return call.done(code);
    std::this_thread::sleep_for(std::chrono::milliseconds(d->downloadMs));
    d->state = 3;
    d->firmware = describeImage(path, image);
    const std::string error = qmx4sim::saveDevice(session.bus, *d);
    return call.done(error.empty() ? 0 : fail(WriteFailed, error));
}

int KoInt1(int handle, int a, int b, int c, int d, void* data, int length)
{
    Call call("KoInt1");
    call.arg("handle", handle).arg("a", a).arg("b", b).arg("c", c).arg("d", d).pointer("data", data).arg("length", length);
    SimDevice* device = nullptr;
    int code = lookup(call, handle, device);
    return call.done(code ? code : checkBlock(data, length));
}

int KoInt2(int handle, int a, int b, void* data, int length)
{
    Call call("KoInt2");
    call.arg("handle", handle).arg("a", a).arg("b", b).pointer("data", data).arg("length", length);
    SimDevice* device = nullptr;
    int code = lookup(call, handle, device);
    return call.done(code ? code : checkBlock(data, length));
}

int KoGetMaxTransferSize(int handle, int* size)
{
    return getNumber("KoGetMaxTransferSize", "size", handle, size, &SimDevice::maxTransfer);
}

int KoGetUserId(int handle, char* text)
{
    return getText("KoGetUserId", handle, text, &SimDevice::userId);
}

int KoSetUserId(int handle, char* text)
{
    Call call("KoSetUserId");
    // The block is exactly 16384 bytes and need not hold a terminator.
    const size_t length = text ? strnlen(text, QMX4_TEXT_SIZE) : 0;
    call.arg("handle", handle).arg("id_length", length).arg("terminated", length < QMX4_TEXT_SIZE ? "yes" : "no");
    SimDevice* d = nullptr;
    if (int code = lookup(call, handle, d))
        return call.done(code);
    if (!text)
        return call.done(fail(BadArgument, "KoSetUserId: the text buffer is null."));
    d->userId.assign(text, length);
    const std::string error = qmx4sim::saveDevice(session.bus, *d);
    return call.done(error.empty() ? 0 : fail(WriteFailed, error));
}

int KoGetSerialNumber(int handle, char* text)
{
    return getText("KoGetSerialNumber", handle, text, &SimDevice::serial);
}

int KoGetFirmwareVersion(int handle, char* text)
{
    return getText("KoGetFirmwareVersion", handle, text, &SimDevice::firmware);
}

int KoGetDerivateInfo(int handle, char* text)
{
    return getText("KoGetDerivateInfo", handle, text, &SimDevice::derivateInfo);
}

int KoGetDerivateId(int handle, int* id)
{
    return getNumber("KoGetDerivateId", "id", handle, id, &SimDevice::derivateId);
}

} // extern "C"
