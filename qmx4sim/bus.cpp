#include "bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace qmx4sim {

namespace {

// The whole value, NUL characters from references such as &#0; included.
std::string text(const TiXmlElement* e, const char* name, const std::string& def = std::string())
{
    const std::string* value = e->Attribute(std::string(name));
    return value ? *value : def;
}

// Numbers in the bus file may be decimal or 0x-hexadecimal.
int number(const TiXmlElement* e, const char* name, int def)
{
    const char* value = e->Attribute(name);
    if (!value || !*value)
        return def;
    char* end = nullptr;
    const long n = std::strtol(value, &end, 0);
    return *end ? def : static_cast<int>(n);
}

} // namespace

std::string loadBus(const std::string& path, Bus& bus)
{
    bus = Bus();
    bus.path = path;
    struct stat info;
    if (stat(path.c_str(), &info) != 0 && errno == ENOENT)
        return std::string();
    bus.document.reset(new TiXmlDocument());
    if (!bus.document->LoadFile(path.c_str(), TIXML_ENCODING_UNKNOWN))
        return "Bus file " + path + ": " + bus.document->ErrorDesc();
    const TiXmlElement* root = bus.document->RootElement();
    if (!root)
        return "Bus file " + path + " has no root element.";
    for (TiXmlElement* e = bus.document->RootElement()->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const std::string kind = e->Value();
        if (kind == "device") {
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
            bus.devices.push_back(std::move(d));
        } else if (kind == "fault") {
            Fault f;
            f.function = text(e, "function");
            f.device = number(e, "device", -1);
            f.occurrence = number(e, "occurrence", 1);
            f.code = number(e, "code", 99);
            f.text = text(e, "text", "Injected failure in " + f.function + ".");
            bus.faults.push_back(f);
        }
    }
    return std::string();
}

std::string saveDevice(Bus& bus, const SimDevice& device)
{
    if (!bus.document || !device.element)
        return std::string();
    device.element->SetAttribute("state", device.state);
    device.element->SetAttribute("firmware", device.firmware.c_str());
    device.element->SetAttribute("userId", device.userId.c_str());
    const std::string temporary = bus.path + ".new";
    if (!bus.document->SaveFile(temporary.c_str()) || std::rename(temporary.c_str(), bus.path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return "Can't write bus file " + bus.path + ".";
    }
    return std::string();
}

} // namespace qmx4sim
