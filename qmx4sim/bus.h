#ifndef QMX4SIM_BUS_H
#define QMX4SIM_BUS_H

// The simulated bus: the attached devices and the scripted failures, read
// from an XML file, or from every *.xml file of a directory in name order,
// and written back when a device changes. With one file per device in a
// directory, devices can be added while a pass runs (by renaming a complete
// file into place), and a download rewrites only its own device's file.

#include <tinyxml.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qmx4sim {

// One attached device and what the library reports about it.
struct SimDevice {
    std::string name;
    int state = 2; // 2 = unconfigured, 3 = configured (the simulator's own)
    int extra = 0;
    int vid = 0;
    int pid = 0;
    std::string serial;
    std::string derivateInfo;
    int derivateId = 0;
    std::string userId;
    std::string firmware;
    int maxTransfer = 65536;
    int firmwareType = 1;
    int downloadMs = 0; // how long a firmware download takes
    std::vector<unsigned char> memory;
    std::map<unsigned int, unsigned int> registers;
    bool fpgaProgrammed = false;
    bool interruptPending = false;
    bool burst = false;
    unsigned int timeout = 1000;
    TiXmlElement* element = nullptr; // its entry in the bus file
    size_t file = 0;                  // which of Bus::files holds it
};

// A scripted failure: the occurrence-th matching call (0 = every one) of
// `function`, for `device` (a bus index; -1 = any), returns `code`; with
// `times`, only that many times in all, counted down in the bus file, so
// that a failure can be transient across passes.
struct Fault {
    std::string function;
    int device = -1;
    int occurrence = 1;
    int code = 99;
    std::string text;
    int times = -1;  // -1: without end
    int seen = 0;
    TiXmlElement* element = nullptr; // its entry in the bus file
    size_t file = 0;                  // which of Bus::files holds it
};

// One file of the bus, kept parsed so that a device can be written back.
struct BusFile {
    std::string path;
    std::unique_ptr<TiXmlDocument> document;
};

struct Bus {
    std::vector<BusFile> files;
    std::vector<SimDevice> devices;
    std::vector<Fault> faults;
};

// Reads the bus at path, a file or a directory of *.xml files, into bus; a
// missing path is an empty bus. Returns an error text, empty on success.
std::string loadBus(const std::string& path, Bus& bus);

// Writes the device's state, firmware and user id back to its file: a file
// of at most one page in place with one write, a larger one through a
// temporary file and a rename, so that it is never seen torn. Returns an
// error text, empty on success.
std::string saveDevice(Bus& bus, const SimDevice& device);

// Writes how many times the fault may still fire back to its file, as
// saveDevice writes a device.
std::string saveFault(Bus& bus, const Fault& fault);

} // namespace qmx4sim

#endif
