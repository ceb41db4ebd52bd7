#include "bus.h"

#include "qmx4.h"
#include "regularfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <set>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qmx4sim {

namespace {

// The whole value, NUL characters from references such as &#0; included.
std::string text(const TiXmlElement* e, const char* name, const std::string& def = std::string())
{
    const std::string* value = e->Attribute(std::string(name));
    return value ? *value : def;
}

// The functions whose calls a <fault> can make fail: every one but
// KoGetLastErrorText, which reports the failures.
#define QMX4SIM_NAME(name, parameters, arguments) #name,
const std::set<std::string> faultable = {QMX4_FUNCTIONS(QMX4SIM_NAME) "KoGetQmx4VersionString"};
#undef QMX4SIM_NAME

// The attributes each element of a bus file takes.
const std::map<std::string, std::set<std::string>> known = {
    {"device", {"name", "state", "extra", "vid", "pid", "serial", "derivateInfo", "derivateId", "userId", "firmware",
                "maxTransfer", "memory", "firmwareType", "downloadMs"}},
    {"fault", {"function", "device", "occurrence", "code", "text", "times"}},
};

// The element's name, once it is one of a bus file's and its attributes are
// all known ones. A mistake in a bus file is refused, with a text that
// names it, rather than ignored: a fault that would never fire would pass
// for one that was not needed.
std::string kindOf(const TiXmlElement* e)
{
    const std::string name = e->Value();
    const auto attributes = known.find(name);
    if (attributes == known.end())
        throw std::runtime_error("unknown element <" + name + ">");
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next())
        if (!attributes->second.count(a->Name()))
            throw std::runtime_error("unknown attribute " + std::string(a->Name()) + " on <" + name + ">");
    return name;
}

// Numbers may be decimal or 0x-hexadecimal.
int number(const TiXmlElement* e, const char* name, int def)
{
    const char* value = e->Attribute(name);
    if (!value || !*value)
        return def;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value, &end, 0);
    if (*end || errno == ERANGE || n < INT_MIN || n > INT_MAX)
        throw std::runtime_error(std::string(name) + " \"" + value + "\" on <" + e->Value() + "> is not a number");
    return static_cast<int>(n);
}

// Reads one bus file and appends its devices and faults to the bus.
std::string loadFile(const std::string& path, Bus& bus)
{
    BusFile file{path, std::unique_ptr<TiXmlDocument>(new TiXmlDocument(path.c_str()))};
    // A FIFO or a device in a bus file's place is refused, not waited on.
    std::string content, why;
    if (regularfile::readWhole(path, content, why) != 0)
        return "Bus file " + path + ": " + why + ".";
    file.document->Parse(content.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    if (file.document->Error())
        return "Bus file " + path + ": " + file.document->ErrorDesc();
    const TiXmlElement* root = file.document->RootElement();
    if (!root)
        return "Bus file " + path + " has no root element.";
    try {
        for (TiXmlElement* e = file.document->RootElement()->FirstChildElement(); e; e = e->NextSiblingElement()) {
            if (kindOf(e) == "device") {
                SimDevice d;
                d.name = text(e, "name", "QMX4 device");
                d.state = number(e, "state", 2);
                d.extra = number(e, "extra", 0);
                d.vid = number(e, "vid", 0);
                d.pid = number(e, "pid", 0);
                d.serial = text(e, "serial");
                d.derivateInfo = text(e, "derivateInfo");
                d.derivateId = number(e, "derivateId", 0);
                d.userId = text(e, "userId");
                d.firmware = text(e, "firmware");
                d.maxTransfer = number(e, "maxTransfer", 65536);
                d.firmwareType = number(e, "firmwareType", 1);
                d.downloadMs = std::max(0, number(e, "downloadMs", 0));
                d.memory.assign(static_cast<size_t>(std::max(0, number(e, "memory", 4096))), 0);
                d.element = e;
                d.file = bus.files.size();
                bus.devices.push_back(std::move(d));
            } else {
                Fault f;
                f.function = text(e, "function");
                if (!faultable.count(f.function))
                    throw std::runtime_error("<fault> names no function that can fail: \"" + f.function + "\"");
                f.device = number(e, "device", -1);
                f.occurrence = number(e, "occurrence", 1);
                f.code = number(e, "code", 99);
                f.text = text(e, "text", "Injected failure in " + f.function + ".");
                f.times = e->Attribute("times") ? std::max(0, number(e, "times", 0)) : -1;
                f.element = e;
                f.file = bus.files.size();
                bus.faults.push_back(f);
            }
        }
    } catch (const std::runtime_error& e) {
        return "Bus file " + path + ": " + e.what() + ".";
    }
    bus.files.push_back(std::move(file));
    return std::string();
}

// The *.xml files of a directory, in name order; temporary files being
// written (*.new, hidden files) are not among them.
std::vector<std::string> busFiles(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name[0] != '.' && name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Rewrites a file of at most one page in place with a single write from
// its start, padded with blanks to its old length: the write lands whole or
// not at all, so the file is never seen torn, and it costs a fraction of a
// new file and a rename.
bool writeInPlace(const std::string& path, std::string text, size_t oldSize)
{
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    if (text.size() < oldSize)
        text.append(oldSize - text.size(), ' ');
    const bool ok = pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

// Replaces a file through a temporary file and a rename.
bool replace(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".new";
    std::FILE* out = std::fopen(temporary.c_str(), "w");
    bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = (out && std::fclose(out) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
        std::remove(temporary.c_str());
    return ok;
}

} // namespace

std::string loadBus(const std::string& path, Bus& bus)
{
    bus = Bus();
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::string() : loadFile(path, bus);
    if (!S_ISDIR(info.st_mode))
        return loadFile(path, bus);
    for (const auto& name : busFiles(path)) {
        const std::string error = loadFile(path + "/" + name, bus);
        // A file removed since the directory was listed is a device unplugged.
        if (!error.empty() && access((path + "/" + name).c_str(), F_OK) == 0)
            return error;
    }
    return std::string();
}

namespace {

// Writes a bus file back from its parsed document.
std::string saveFile(Bus& bus, size_t index)
{
    const BusFile& file = bus.files[index];
    TiXmlPrinter printer;
    file.document->Accept(&printer);
    const std::string& text = printer.Str();
    struct stat info;
    if (stat(file.path.c_str(), &info) != 0)
        return "Bus file " + file.path + " is gone: the device was unplugged.";
    const size_t page = 4096;
    const bool small = S_ISREG(info.st_mode) && static_cast<size_t>(info.st_size) <= page && text.size() <= page;
    // A file that cannot be opened for writing may still be replaced.
    if (!(small && writeInPlace(file.path, text, static_cast<size_t>(info.st_size))) && !replace(file.path, text))
        return "Can't write bus file " + file.path + ".";
    return std::string();
}

} // namespace

std::string saveDevice(Bus& bus, const SimDevice& device)
{
    if (!device.element || device.file >= bus.files.size())
        return std::string();
    device.element->SetAttribute("state", device.state);
    device.element->SetAttribute("firmware", device.firmware.c_str());
    device.element->SetAttribute("userId", device.userId.c_str());
    return saveFile(bus, device.file);
}

std::string saveFault(Bus& bus, const Fault& fault)
{
    if (!fault.element || fault.file >= bus.files.size())
        return std::string();
    fault.element->SetAttribute("times", fault.times);
    return saveFile(bus, fault.file);
}

} // namespace qmx4sim
