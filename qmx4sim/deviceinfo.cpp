// The stand-in's device information: transfer size, user id, serial
// number, firmware version and variant of an opened device.

#include "sim.h"

#include <cstring>

using namespace qmx4sim;

namespace {

int getText(const char* name, int handle, char* text, std::string SimDevice::*field)
{
    Call call(name);
    call.arg("handle", handle);
    return onDevice(call, handle, [&](SimDevice& d) {
        if (!text)
            return fail(BadArgument, std::string(name) + ": the text buffer is null.");
        writeText(text, d.*field);
        return 0;
    });
}

// A number the library reports about an open device; the journal shows the
// value the caller preset as <key>_in.
int getNumber(const char* name, const std::string& key, int handle, int* out, int SimDevice::*field)
{
    Call call(name);
    call.arg("handle", handle).arg((key + "_in").c_str(), out ? std::to_string(*out) : "null");
    return onDevice(call, handle, [&](SimDevice& d) {
        if (!out)
            return fail(BadArgument, std::string(name) + ": the " + key + " pointer is null.");
        *out = d.*field;
        call.out(key.c_str(), *out);
        return 0;
    });
}

} // namespace

extern "C" {

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
    return onDevice(call, handle, [&](SimDevice& d) {
        if (!text)
            return fail(BadArgument, "KoSetUserId: the text buffer is null.");
        d.userId.assign(text, length);
        const std::string error = saveDevice(session.bus, d);
        return error.empty() ? 0 : fail(WriteFailed, error);
    });
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
