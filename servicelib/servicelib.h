#ifndef SERVICELIB_SERVICELIB_H
#define SERVICELIB_SERVICELIB_H

#include "qmx4api.h"

#include <optional>
#include <string>
#include <vector>

class XElement;

// The firmware download service: configuration, log and the download pass.
namespace servicelib {

// One configured device type.
struct DeviceEntry {
    std::string name; // display name in the log
    std::string fw;   // firmware file name, relative to <base>/data/
    int type;         // device type number handed to the firmware download
    int vid;          // USB vendor id
    int pid;          // USB product id
    std::optional<std::string> sha256; // the firmware file's SHA-256 when the type pins it (sha256="...")
};

// The device type of one <type> element as init reads it: each attribute
// with its default (an unreadable number gives the default too).
DeviceEntry readEntry(const XElement& element);

// Whether init stores such an entry: a name and a firmware file name, a
// type other than -1, vendor and product ids other than 0, and a sha256, if
// any, of 64 hexadecimal digits.
bool isValidEntry(const DeviceEntry& entry);

// Reads <baseDir>/data/service.xml: sets the log switches, deletes the old
// log unless "append" is set, and replaces the configured device types.
// Throws xml_error for an unreadable or malformed file and
// std::runtime_error "Invalid device entry #n" for an incomplete entry.
void init(const std::string& baseDir);

// Reads the configured device types from <baseDir>/data/service.xml exactly
// as init does, but touches neither the service's state nor the log. Throws
// as init does.
std::vector<DeviceEntry> readDeviceEntries(const std::string& baseDir);

// A configuration failure's text as shown to a user: it names the file
// <baseDir>/data/service.xml, in front unless the text already holds it.
std::string configurationFailure(const std::string& baseDir, const std::string& text);

// The display name from <baseDir>/data/config.xml; throws xml_error when the
// file cannot be read.
std::string getSvcName(const std::string& baseDir);

// The configured device types, in file order (empty before init).
const std::vector<DeviceEntry>& getDeviceEntries();

// The configuration file's path: the base directory followed by
// "/data/service.xml".
std::string getConfigFileName();
// The same for another base directory.
std::string getConfigFileName(const std::string& baseDir);

// The path a pass hands to the library for an entry's firmware file: the
// base directory, "/data/" and the file name, joined as they are.
std::string firmwarePath(const std::string& baseDir, const std::string& fw);

// The log file's path: the base directory followed by "/service.log".
std::string getLogFileName();

// Appends the message and a line feed to the log when logging is on; a log
// that cannot be written is silently skipped.
void log(const std::string& message);

// Deletes the file at prefix + getLogFileName(); failures are ignored.
void delLogFile(const std::string& prefix);

// The entry a pass uses for a device: the first with the device's vendor
// and product id; null when there is none.
const DeviceEntry* findEntry(const std::vector<DeviceEntry>& entries, const qmx4api::DeviceInfo& info);

// Whether a pass serves a device in this state: only an unconfigured one (2).
bool waitsForFirmware(int state);

// One pass: every attached unconfigured device that matches a configured
// type gets that type's firmware. The library session is closed on every way
// out; the first failure ends the pass and leaves as an exception carrying
// its cause's text.
void download();

// Opens the device, downloads <base>/data/<fw> into it by type number and
// closes it. Throws on failure; a device that did open is closed first. A
// firmware file that is a FIFO, socket or device node fails before the
// library is asked (a library could wait on it for ever), as does one whose
// SHA-256 differs from `sha256` when that is given.
void downloadFirmware(const qmx4api::EnumeratedDevice& device, int type, const std::string& fw,
                      const std::optional<std::string>& sha256 = std::nullopt);

// Has the passes report their events (passevents.h) on the descriptor `fd`
// from now on, if it is a regular file open for writing (above the standard
// streams); otherwise, and for -1, they are reported nowhere.
void reportEventsTo(int fd);

} // namespace servicelib

#endif
