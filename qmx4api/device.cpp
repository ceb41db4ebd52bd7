#include "qmx4api.h"
#include "qmx4.h"
#include "qmx4call.h"

namespace qmx4api {

using detail::check;
using detail::lengthOf;

void Device::close()
{
    check(KoClose(handle));
}

unsigned int Device::readRegister(unsigned int address)
{
    unsigned int value = 0; // read only after success, when the library has written it
    check(KoReadRegister(handle, address, &value));
    return value;
}

void Device::writeRegister(unsigned int address, unsigned int value)
{
    check(KoWriteRegister(handle, address, value));
}

void Device::readBlock(unsigned int address, void* buffer, int length, int mode)
{
    check(KoReadBlock(handle, address, buffer, length, mode));
}

void Device::readBlock(unsigned int address, std::vector<unsigned char>& buffer, int mode)
{
    const int length = lengthOf(buffer.size());
    check(KoReadBlock(handle, address, buffer.data(), length, mode));
}

void Device::writeBlock(unsigned int address, void* buffer, int length, int mode)
{
    check(KoWriteBlock(handle, address, buffer, length, mode));
}

void Device::writeBlock(unsigned int address, const std::vector<unsigned char>& buffer, int mode)
{
    const int length = lengthOf(buffer.size());
    // The library only reads the block; its C interface has no const.
    check(KoWriteBlock(handle, address, const_cast<unsigned char*>(buffer.data()), length, mode));
}

bool Device::waitForInterrupt(unsigned int timeout)
{
    int flag = 0;
    check(KoWaitForInterrupt(handle, timeout, &flag));
    return flag != 0;
}

void Device::enableInterrupt()
{
    check(KoEnableInterrupt(handle));
}

void Device::resetFpga()
{
    check(KoResetFpga(handle));
}

void Device::programFpgaFromBin(const std::string& path)
{
    check(KoProgramFpgaFromBin(handle, path.c_str()));
}

void Device::programFpgaFromMemory(void* data, int length)
{
    check(KoProgramFpgaFromMemory(handle, data, length));
}

void Device::programFpgaFromMemoryZ(void* data, int length)
{
    check(KoProgramFpgaFromMemoryZ(handle, data, length));
}

void Device::setTimeout(unsigned int timeout)
{
    check(KoSetTimeOut(handle, timeout));
}

void Device::enableBurst(bool enable)
{
    check(KoEnableBurst(handle, enable ? 1 : 0));
}

void Device::__int0(int type, const std::string& path)
{
    check(KoInt0(handle, type, path.c_str()));
}

void Device::__int1(int a, int b, int c, int d)
{
    check(KoInt1(handle, a, b, c, d, nullptr, 0));
}

void Device::__int1(int a, int b, int c, int d, std::vector<unsigned char>& data)
{
    const int length = lengthOf(data.size());
    check(KoInt1(handle, a, b, c, d, data.data(), length));
}

void Device::__int2(int a, int b)
{
    check(KoInt2(handle, a, b, nullptr, 0));
}

void Device::__int2(int a, int b, std::vector<unsigned char>& data)
{
    const int length = lengthOf(data.size());
    check(KoInt2(handle, a, b, data.data(), length));
}

} // namespace qmx4api
