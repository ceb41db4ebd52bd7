#include "qmx4api.h"
#include "qmx4.h"
#include "qmx4call.h"

#include <climits>
#include <cstring>
#include <stdexcept>

namespace qmx4api {

int _enumRound = 0;

namespace detail {

std::vector<char> textBuffer()
{
    return std::vector<char>(QMX4_TEXT_SIZE, 0);
}

std::string bufferText(const std::vector<char>& buffer)
{
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

void check(int code)
{
    if (code == 0)
        return;
    std::vector<char> text = textBuffer();
    KoGetLastErrorText(code, text.data());
    throw std::runtime_error(bufferText(text));
}

int lengthOf(size_t size)
{
    if (size > static_cast<size_t>(INT_MAX))
        throw std::runtime_error("Buffer of " + std::to_string(size) +
                                 " bytes is larger than the device library accepts.");
    return static_cast<int>(size);
}

} // namespace detail

using detail::check;

void init()
{
    check(KoInit());
}

void initEx(const std::string& path)
{
    check(KoInitEx(path.c_str()));
}

void deInit()
{
    check(KoDeInit());
}

void setLogLevel(int level)
{
    check(KoSetLogLevel(level));
}

std::string getQmxVersion()
{
    const char* version = KoGetQmx4VersionString();
    return version ? std::string(version) : std::string();
}

std::vector<EnumeratedDevice> enumerate(DeviceType type)
{
    ++_enumRound;
    int count = 0;
    check(KoEnumerate(type, &count));
    std::vector<EnumeratedDevice> devices;
    if (count <= 0)
        return devices;
    // One buffer and one set of integers serve every device of the round.
    std::vector<char> text = detail::textBuffer();
    int state = 0, extra = 0, vid = 0, pid = 0;
    for (int i = 0; i < count; ++i) {
        check(KoEnumerateInfo(i, text.data(), &state, &extra, &vid, &pid));
        devices.push_back(EnumeratedDevice(DeviceInfo(-1, detail::bufferText(text), state, extra, vid, pid), i,
                                           _enumRound));
    }
    return devices;
}

Device EnumeratedDevice::open() const
{
    if (enumRound != _enumRound)
        throw std::runtime_error("Invalid enumeration round.");
    int handle = -1;
    check(KoOpen(index, &handle));
    const DeviceInfo opened(handle, info.getName(), info.getState(), info.getExtra(), info.getVid(),
                            info.getPid());
    return Device(opened, handle);
}

} // namespace qmx4api
