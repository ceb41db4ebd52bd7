#include "servicelib.h"

#include "firmwaredigest.h"
#include "passevents.h"
#include "regularfile.h"
#include "xelement.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace servicelib {

static std::string _baseDir;
static std::vector<DeviceEntry> _deviceEntries;
static bool _logging = false;
static bool _append = false;
// Where a pass reports its events (passevents.h); -1: nowhere.
static int _eventsFd = -1;
// What the device being served was handed: the firmware file as read right
// before the library got its path (size -1 until then).
static FirmwareDigest _handedOver;

// The device state that marks a device waiting for its firmware.
static const int unconfigured = 2;

DeviceEntry readEntry(const XElement& element)
{
    DeviceEntry entry;
    entry.pid = element.getAttribute("pid", 0);
    entry.vid = element.getAttribute("vid", 0);
    entry.type = element.getAttribute("type", -1);
    entry.fw = element.getAttribute("fw", "");
    entry.name = element.getAttribute("name", "Unknown");
    if (element.hasAttribute("sha256"))
        entry.sha256 = element.getAttribute("sha256", "");
    return entry;
}

bool isValidEntry(const DeviceEntry& entry)
{
    return !entry.name.empty() && !entry.fw.empty() && entry.type != -1 && entry.vid != 0 && entry.pid != 0 &&
           (!entry.sha256 || validPin(*entry.sha256));
}

// Appends the configured device types of a service.xml root, in file
// order; the entries before an invalid one stay appended.
static void readEntries(const XElement& root, std::vector<DeviceEntry>& entries)
{
    int n = 0;
    for (const auto& element : root.getElements("type")) {
        const DeviceEntry entry = readEntry(*element);
        if (!isValidEntry(entry))
            throw std::runtime_error("Invalid device entry #" + std::to_string(n));
        entries.push_back(entry);
        ++n;
    }
}

void init(const std::string& baseDir)
{
    _baseDir = baseDir;
    _deviceEntries.clear();
    const auto root = XElement::fromFile(getConfigFileName());
    _logging = root->getAttribute("logging", true);
    _append = root->getAttribute("append", false);
    if (!_append)
        unlink(getLogFileName().c_str());
    readEntries(*root, _deviceEntries);
}

std::vector<DeviceEntry> readDeviceEntries(const std::string& baseDir)
{
    std::vector<DeviceEntry> entries;
    readEntries(*XElement::fromFile(getConfigFileName(baseDir)), entries);
    return entries;
}

std::string configurationFailure(const std::string& baseDir, const std::string& text)
{
    const std::string file = getConfigFileName(baseDir);
    return text.find(file) == std::string::npos ? file + ": " + text : text;
}

std::string getSvcName(const std::string& baseDir)
{
    return XElement::fromFile(baseDir + "/data/config.xml")->getAttribute("name", "Norvel QMX4 Usb Device Service");
}

const std::vector<DeviceEntry>& getDeviceEntries()
{
    return _deviceEntries;
}

std::string getConfigFileName()
{
    return getConfigFileName(_baseDir);
}

std::string getConfigFileName(const std::string& baseDir)
{
    return baseDir + "/data/service.xml";
}

std::string firmwarePath(const std::string& baseDir, const std::string& fw)
{
    return baseDir + "/data/" + fw;
}

std::string getLogFileName()
{
    return _baseDir + "/service.log";
}

void log(const std::string& message)
{
    if (!_logging)
        return;
    // Opened without waiting: a regular file, or a FIFO that a reader holds
    // open. Anything else (a FIFO without a reader, a device) is a log that
    // cannot be opened.
    char why[REGULARFILE_WHY];
    const int fd = regularfile_append(getLogFileName().c_str(), why);
    if (fd < 0)
        return;
    const std::string line = message + '\n';
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void delLogFile(const std::string& prefix)
{
    std::remove((prefix + getLogFileName()).c_str());
}

const DeviceEntry* findEntry(const std::vector<DeviceEntry>& entries, const qmx4api::DeviceInfo& info)
{
    for (const auto& entry : entries)
        if (entry.vid == info.getVid() && entry.pid == info.getPid())
            return &entry;
    return nullptr;
}

bool waitsForFirmware(int state)
{
    return state == unconfigured;
}

void reportEventsTo(int fd)
{
    // Only the channel a helper gives: a regular file open for writing. A
    // number naming nothing, the standard streams, a terminal, a pipe or a
    // socket is ignored, so that events never land where they do not
    // belong.
    struct stat info;
    const int flags = fd > 2 ? fcntl(fd, F_GETFL) : -1;
    _eventsFd = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fd : -1;
}

// "\tkey=value" for an event line: the fields are separated by tabs, so a
// tab, a line feed and a backslash in a value are escaped (\t, \n, \\).
static std::string field(const char* key, const std::string& value)
{
    std::string escaped;
    for (const char c : value)
        escaped += c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
    return std::string("\t") + key + "=" + escaped;
}

// The fields of the device being served (set as the pass reaches it), and
// of the file it was handed once it was.
static std::string _serving;
static std::string servingFields()
{
    if (_handedOver.size < 0)
        return _serving;
    return _serving + field(PASSEVENTS_SIZE, std::to_string(_handedOver.size)) +
           field(PASSEVENTS_SHA256, _handedOver.sha256);
}

// One line of the events channel, written whole or not at all; a channel
// that cannot be written to changes nothing.
static void event(const char* what, int index, const std::string& more = "")
{
    if (_eventsFd < 0)
        return;
    const std::string line = std::string(what) + " " + (index < 0 ? "-" : std::to_string(index)) + more + "\n";
    const ssize_t written = write(_eventsFd, line.data(), line.size());
    (void)written;
}

void download()
{
    int at = -1; // the device being served, for the failure event
    try {
        qmx4api::withSession(_baseDir, [&] {
            const std::vector<qmx4api::EnumeratedDevice> devices = qmx4api::enumerate(qmx4api::AnyDevice);
            for (const auto& device : devices) {
                const qmx4api::DeviceInfo info = device.getInfo();
                if (!waitsForFirmware(info.getState()))
                    continue;
                const DeviceEntry* entry = findEntry(_deviceEntries, info);
                if (!entry)
                    continue;
                at = device.getIndex();
                _handedOver = FirmwareDigest();
                _serving = field(PASSEVENTS_ENTRY, std::to_string(entry - _deviceEntries.data())) +
                           field(PASSEVENTS_TYPE, entry->name) + field(PASSEVENTS_FILE, firmwarePath(_baseDir, entry->fw)) +
                           field(PASSEVENTS_DEVICE, info.getName()) + field(PASSEVENTS_VID, std::to_string(info.getVid())) +
                           field(PASSEVENTS_PID, std::to_string(info.getPid()));
                log("Unconfigured device found: " + entry->name);
                downloadFirmware(device, entry->type, entry->fw, entry->sha256);
                at = -1;
            }
        });
    } catch (const std::exception& e) {
        event(PASSEVENTS_FAILED, at, (at < 0 ? "" : servingFields()) + field(PASSEVENTS_TEXT, e.what()));
        throw;
    }
}

// A FIFO, socket or device node in a firmware file's place could make the
// library wait on it for ever, holding the passes' lock: such a download
// fails before the library is asked. The file is looked at through an
// O_PATH descriptor, which neither opens a device nor waits on a FIFO. A
// missing file or a directory is the library's to report.
static void refuseSpecialFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    const bool known = fstat(fd, &info) == 0;
    close(fd);
    if (known && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        throw std::runtime_error("Firmware file " + path + " is " + regularfile_kind(info.st_mode) +
                                 ", not a regular file.");
}

void downloadFirmware(const qmx4api::EnumeratedDevice& device, int type, const std::string& fw,
                      const std::optional<std::string>& sha256)
{
    const std::string path = firmwarePath(_baseDir, fw);
    refuseSpecialFile(path);
    qmx4api::withDevice(device, [&](qmx4api::Device& opened) {
        // The file as it is the moment the library is handed its path; one
        // replaced within that instant could differ (firmware is replaced
        // safely by renaming a new file over the old).
        _handedOver = digestFirmware(path);
        const std::string mismatch = pinMismatch(path, sha256, _handedOver);
        if (!mismatch.empty())
            throw std::runtime_error(mismatch);
        opened.__int0(type, path);
        event(PASSEVENTS_DOWNLOADED, device.getIndex(), servingFields());
    });
}

} // namespace servicelib
