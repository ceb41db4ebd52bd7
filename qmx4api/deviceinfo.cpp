#include "qmx4api.h"
#include "qmx4.h"
#include "qmx4call.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qmx4api {

namespace {

// Asks the library for a number; -1 for an unopened record or any failure.
int readNumber(int handle, int (*call)(int, int*))
{
    if (handle == -1)
        return -1;
    try {
        int value = 0;
        detail::check(call(handle, &value));
        return value;
    } catch (const std::exception&) {
        return -1;
    }
}

// Asks the library for a text; empty for an unopened record or any failure.
std::string readText(int handle, int (*call)(int, char*))
{
    if (handle == -1)
        return std::string();
    try {
        std::vector<char> text = detail::textBuffer();
        detail::check(call(handle, text.data()));
        return detail::bufferText(text);
    } catch (const std::exception&) {
        return std::string();
    }
}

} // namespace

DeviceInfo::DeviceInfo(int handle, const std::string& name, int state, int extra, int vid, int pid)
    : handle(handle), name(name), state(state), extra(extra), vid(vid), pid(pid)
{
}

int DeviceInfo::getMaxTransferSize() const
{
    return readNumber(handle, KoGetMaxTransferSize);
}

std::string DeviceInfo::getUserId() const
{
    return readText(handle, KoGetUserId);
}

void DeviceInfo::setUserId(const std::string& id)
{
    if (handle == -1)
        throw std::runtime_error("Device not opened.");
    // Always a full block: the id's first bytes, zero-padded, with no
    // terminator when the id fills it.
    std::vector<char> block = detail::textBuffer();
    std::memcpy(block.data(), id.data(), std::min(id.size(), block.size()));
    detail::check(KoSetUserId(handle, block.data()));
}

std::string DeviceInfo::getSerialNumber() const
{
    return readText(handle, KoGetSerialNumber);
}

std::string DeviceInfo::getFirmwareVersion() const
{
    return readText(handle, KoGetFirmwareVersion);
}

std::string DeviceInfo::getDerivateInfo() const
{
    return readText(handle, KoGetDerivateInfo);
}

int DeviceInfo::getDerivateId() const
{
    return readNumber(handle, KoGetDerivateId);
}

} // namespace qmx4api
