#ifndef QMX4API_QMX4API_H
#define QMX4API_QMX4API_H

#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Object interface over the QMX4 device library. Every library error becomes
// a std::runtime_error whose what() is the library's own text for it.
namespace qmx4api {

// Enumeration filter handed to the library unchanged; AnyDevice lists all.
enum DeviceType : int { AnyDevice = -1 };

// Number of the current enumeration round; every enumerate() call adds 1.
extern int _enumRound;

// Description of one device: handle (-1 = not opened) and what the library
// reported at enumeration. Copying it never copies the device.
class DeviceInfo {
public:
    // A record of no device: handle -1, empty name, state 0, the rest -1.
    DeviceInfo() = default;
    // A record with the given values.
    DeviceInfo(int handle, const std::string& name, int state, int extra, int vid, int pid);

    int getHandle() const { return handle; }
    std::string getName() const { return name; }
    // 2 marks an unconfigured device.
    int getState() const { return state; }
    int getExtra() const { return extra; }
    int getVid() const { return vid; }
    int getPid() const { return pid; }

    // Largest transfer size; -1 when not opened or the library fails.
    int getMaxTransferSize() const;
    // User id; empty when not opened or the library fails.
    std::string getUserId() const;
    // Stores a user id (its first 16384 bytes); throws "Device not opened."
    // for handle -1 and the library's text when it fails.
    void setUserId(const std::string& id);
    // Serial number; empty when not opened or the library fails.
    std::string getSerialNumber() const;
    // Firmware version; empty when not opened or the library fails.
    std::string getFirmwareVersion() const;
    // Product variant as text; empty when not opened or the library fails.
    std::string getDerivateInfo() const;
    // Product variant as number; -1 when not opened or the library fails.
    int getDerivateId() const;

private:
    int handle = -1;
    std::string name;
    int state = 0;
    int extra = -1;
    int vid = -1;
    int pid = -1;
};

// An opened device. Copies share the handle; only close() releases it.
class Device {
public:
    // A device that is not opened: handle -1, info at its defaults.
    Device() = default;

    DeviceInfo getInfo() const { return info; }
    int getHandle() const { return handle; }

    // Each operation below is one library call with this device's handle;
    // a non-zero result throws std::runtime_error with the library's text.

    // Releases the handle; the number stays in this value.
    void close();
    // The value of the register at address.
    unsigned int readRegister(unsigned int address);
    void writeRegister(unsigned int address, unsigned int value);
    // Reads length bytes into buffer.
    void readBlock(unsigned int address, void* buffer, int length, int mode);
    // Fills the vector's current size; throws before the call if it exceeds INT_MAX.
    void readBlock(unsigned int address, std::vector<unsigned char>& buffer, int mode);
    void writeBlock(unsigned int address, void* buffer, int length, int mode);
    // Writes the whole vector; throws before the call if it exceeds INT_MAX.
    void writeBlock(unsigned int address, const std::vector<unsigned char>& buffer, int mode);
    // True when an interrupt arrived within timeout.
    bool waitForInterrupt(unsigned int timeout);
    void enableInterrupt();
    void resetFpga();
    void programFpgaFromBin(const std::string& path);
    void programFpgaFromMemory(void* data, int length);
    void programFpgaFromMemoryZ(void* data, int length);
    void setTimeout(unsigned int timeout);
    void enableBurst(bool enable);
    // Downloads the firmware file at path into the device, by type number.
    void __int0(int type, const std::string& path);
    void __int1(int a, int b, int c, int d);
    // As above with a data block; throws before the call if it exceeds INT_MAX.
    void __int1(int a, int b, int c, int d, std::vector<unsigned char>& data);
    void __int2(int a, int b);
    // As above with a data block; throws before the call if it exceeds INT_MAX.
    void __int2(int a, int b, std::vector<unsigned char>& data);

private:
    friend class EnumeratedDevice;
    Device(const DeviceInfo& info, int handle) : info(info), handle(handle) {}

    DeviceInfo info;
    int handle = -1;
};

// One device found by one enumerate() call; it can be opened only while no
// later enumeration has started.
class EnumeratedDevice {
public:
    DeviceInfo getInfo() const { return info; }
    int getIndex() const { return index; }
    int getEnumRound() const { return enumRound; }

    // Opens the device; throws "Invalid enumeration round." for a stale
    // record (without calling the library) and the library's text otherwise.
    Device open() const;

private:
    friend std::vector<EnumeratedDevice> enumerate(DeviceType type);
    EnumeratedDevice(const DeviceInfo& info, int index, int enumRound)
        : info(info), index(index), enumRound(enumRound) {}

    DeviceInfo info;
    int index;
    int enumRound;
};

// Opens a library session in the working directory.
void init();
// Opens a library session with the given directory.
void initEx(const std::string& path);
// Closes the library session.
void deInit();
// Sets the library's own log level.
void setLogLevel(int level);
// The library's version text; empty when the library gives none.
std::string getQmxVersion();
// Starts a new round and lists the attached devices of the given type in
// index order; throws (with no partial list) when a library call fails.
std::vector<EnumeratedDevice> enumerate(DeviceType type);

// Runs act() in a library session opened with initEx(path) and returns what
// it returns. The session is closed by deInit() on every way out: after
// act, and after any failure (of initEx, act or that deInit itself) once
// more, with the failure of that last attempt swallowed so that the first
// failure is the one thrown. The download pass and the companion's device
// commands both keep to this.
template <typename Act>
auto withSession(const std::string& path, Act act) -> decltype(act())
{
    try {
        initEx(path);
        if constexpr (std::is_void_v<decltype(act())>) {
            act();
            deInit();
        } else {
            auto result = act();
            deInit();
            return result;
        }
    } catch (const std::exception&) {
        try {
            deInit();
        } catch (const std::exception&) {
        }
        throw;
    }
}

// Opens the device, runs act(opened) and returns what it returns, closing
// the device on every way out: when act fails the device is closed and
// act's failure is thrown (or closing's, when that fails too). A device
// that does not open is not touched further.
template <typename Act>
auto withDevice(const EnumeratedDevice& device, Act act) -> decltype(act(std::declval<Device&>()))
{
    Device opened = device.open();
    const auto acted = [&] {
        try {
            return act(opened);
        } catch (const std::exception&) {
            opened.close();
            throw;
        }
    };
    if constexpr (std::is_void_v<decltype(act(opened))>) {
        acted();
        opened.close();
    } else {
        auto result = acted();
        opened.close();
        return result;
    }
}

} // namespace qmx4api

#endif
