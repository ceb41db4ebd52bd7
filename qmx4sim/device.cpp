// The stand-in's operations on an opened device: registers, block memory,
// interrupts, FPGA programming, transfer settings and the raw calls, the
// firmware download among them.

#include "regularfile.h"
#include "sim.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace qmx4sim;

namespace {

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

// A file the device can load: present, a readable regular file (a FIFO or
// a device is refused rather than waited on or read without end) of at
// most REGULARFILE_LIMIT bytes, not empty.
int checkImage(const char* path, const char* what, std::vector<unsigned char>& image)
{
    if (!path)
        return fail(BadArgument, std::string(what) + " path is null.");
    std::string content, why;
    const int read = regularfile::readWhole(path, content, why);
    if (read == -1 && errno == ENOENT)
        return fail(FileNotFound, std::string(what) + " not found: " + path);
    if (read == -2 || read == -3)
        return fail(FileUnreadable, std::string(what) + " " + path + ": " + why);
    if (read != 0)
        return fail(FileUnreadable, std::string(what) + " is not a readable file: " + path);
    if (content.empty())
        return fail(FileEmpty, std::string(what) + " is empty: " + path);
    image.assign(content.begin(), content.end());
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
    return onDevice(call, handle, [&](SimDevice& d) {
        int code = checkBlock(data, length);
        if (!code && length == 0)
            code = fail(FileEmpty, "The FPGA image in memory is empty.");
        if (!code)
            d.fpgaProgrammed = true;
        return code;
    });
}

// A block transfer between the caller's buffer and the device's memory.
int transferBlock(Call& call, int handle, unsigned int address, void* buffer, int length, int mode, bool toDevice)
{
    call.arg("handle", handle).arg("address", address).pointer("buffer", buffer).arg("length", length).arg("mode", mode);
    return onDevice(call, handle, [&](SimDevice& d) {
        int code = checkBlock(buffer, length);
        if (!code)
            code = checkRange(d, address, length);
        if (!code && length > 0) {
            unsigned char* memory = d.memory.data() + address;
            if (toDevice)
                std::memcpy(memory, buffer, static_cast<size_t>(length));
            else
                std::memcpy(buffer, memory, static_cast<size_t>(length));
        }
        return code;
    });
}

// A raw call: only its data block is checked.
int raw(Call& call, int handle, void* data, int length)
{
    call.pointer("data", data).arg("length", length);
    return onDevice(call, handle, [&](SimDevice&) { return checkBlock(data, length); });
}

} // namespace

extern "C" {

int KoReadRegister(int handle, unsigned int address, unsigned int* value)
{
    Call call("KoReadRegister");
    call.arg("handle", handle).arg("address", address);
    return onDevice(call, handle, [&](SimDevice& d) {
        if (!value)
            return fail(BadArgument, "KoReadRegister: the value pointer is null.");
        *value = d.registers[address];
        call.out("value", *value);
        return 0;
    });
}

int KoWriteRegister(int handle, unsigned int address, unsigned int value)
{
    Call call("KoWriteRegister");
    call.arg("handle", handle).arg("address", address).arg("value", value);
    return onDevice(call, handle, [&](SimDevice& d) {
        d.registers[address] = value;
        return 0;
    });
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
    return onDevice(call, handle, [&](SimDevice& d) {
        if (!flag)
            return fail(BadArgument, "KoWaitForInterrupt: the flag pointer is null.");
        *flag = d.interruptPending ? 1 : 0;
        d.interruptPending = false;
        call.out("flag", *flag);
        return 0;
    });
}

int KoEnableInterrupt(int handle)
{
    Call call("KoEnableInterrupt");
    call.arg("handle", handle);
    return onDevice(call, handle, [](SimDevice& d) {
        d.interruptPending = true;
        return 0;
    });
}

int KoResetFpga(int handle)
{
    Call call("KoResetFpga");
    call.arg("handle", handle);
    return onDevice(call, handle, [](SimDevice& d) {
        d.fpgaProgrammed = false;
        return 0;
    });
}

int KoProgramFpgaFromBin(int handle, const char* path)
{
    Call call("KoProgramFpgaFromBin");
    call.arg("handle", handle).text("path", path);
    return onDevice(call, handle, [&](SimDevice& d) {
        std::vector<unsigned char> image;
        const int code = checkImage(path, "FPGA image", image);
        if (code == 0)
            d.fpgaProgrammed = true;
        return code;
    });
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
    return onDevice(call, handle, [&](SimDevice& d) {
        d.timeout = timeout;
        return 0;
    });
}

int KoEnableBurst(int handle, int enable)
{
    Call call("KoEnableBurst");
    call.arg("handle", handle).arg("enable", enable);
    return onDevice(call, handle, [&](SimDevice& d) {
        if (enable != 0 && enable != 1)
            return fail(BadArgument, "KoEnableBurst: enable must be 0 or 1, not " + std::to_string(enable) + ".");
        d.burst = enable == 1;
        return 0;
    });
}

int KoInt0(int handle, int type, const char* path)
{
    Call call("KoInt0");
    call.arg("handle", handle).arg("type", type).text("path", path);
    return onDevice(call, handle, [&](SimDevice& d) {
        std::vector<unsigned char> image;
        if (int code = checkImage(path, "Firmware file", image))
            return code;
        if (type != d.firmwareType)
            return fail(WrongType, "Firmware type " + std::to_string(type) + " does not fit " + d.name +
                                       ", which takes type " + std::to_string(d.firmwareType) + ".");
        std::this_thread::sleep_for(std::chrono::milliseconds(d.downloadMs));
        d.state = 3;
        d.firmware = describeImage(path, image);
        const std::string error = saveDevice(session.bus, d);
        return error.empty() ? 0 : fail(WriteFailed, error);
    });
}

int KoInt1(int handle, int a, int b, int c, int d, void* data, int length)
{
    Call call("KoInt1");
    call.arg("handle", handle).arg("a", a).arg("b", b).arg("c", c).arg("d", d);
    return raw(call, handle, data, length);
}

int KoInt2(int handle, int a, int b, void* data, int length)
{
    Call call("KoInt2");
    call.arg("handle", handle).arg("a", a).arg("b", b);
    return raw(call, handle, data, length);
}

} // extern "C"
