#include "inventory.h"

namespace fwctl {
namespace inventory {

std::vector<Device> read(const std::vector<qmx4api::EnumeratedDevice>& devices, int only)
{
    std::vector<Device> result;
    for (const auto& listed : devices) {
        if (only >= 0 && listed.getIndex() != only)
            continue;
        Device d;
        d.index = listed.getIndex();
        d.info = listed.getInfo();
        try {
            // The readers fail by giving nothing, so a failure here is the
            // device's opening (d.opened still false) or its closing.
            qmx4api::withDevice(listed, [&](qmx4api::Device& opened) {
                d.opened = true;
                const qmx4api::DeviceInfo info = opened.getInfo();
                d.serial = info.getSerialNumber();
                d.firmware = info.getFirmwareVersion();
                d.variant = info.getDerivateInfo();
                d.variantId = info.getDerivateId();
                d.userId = info.getUserId();
                d.maxTransfer = info.getMaxTransferSize();
            });
        } catch (const std::exception& e) {
            d.error = e.what();
        }
        result.push_back(std::move(d));
    }
    return result;
}

std::string setUserId(const qmx4api::EnumeratedDevice& device, const std::string& id)
{
    return qmx4api::withDevice(device, [&](qmx4api::Device& opened) {
        qmx4api::DeviceInfo info = opened.getInfo();
        info.setUserId(id);
        return info.getUserId();
    });
}

namespace {

std::string orDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

std::string orDash(int number)
{
    return number < 0 ? "-" : std::to_string(number);
}

} // namespace

report::Table table(const std::vector<Device>& devices)
{
    report::Table t;
    t.header = {"INDEX", "NAME", "STATE", "VID:PID", "SERIAL", "FIRMWARE", "VARIANT", "USER ID", "MAX TRANSFER", "STATUS"};
    for (const auto& d : devices) {
        const std::string status = d.error.empty() ? "ok" : (d.opened ? "not closed: " : "not opened: ") + d.error;
        t.rows.push_back({std::to_string(d.index), d.info.getName(), report::state(d.info.getState()),
                          report::ids(d.info.getVid(), d.info.getPid()), orDash(d.serial), orDash(d.firmware),
                          orDash(d.variant) + (d.variantId < 0 ? "" : " (" + std::to_string(d.variantId) + ")"),
                          orDash(d.userId), orDash(d.maxTransfer), status});
    }
    return t;
}

std::string json(const std::vector<Device>& devices)
{
    std::vector<std::string> items;
    for (const auto& d : devices) {
        json::Object o;
        report::deviceFields(o, d.index, d.info);
        const auto number = [](int n) { return n < 0 ? std::string(json::null) : json::number(n); };
        o("opened", json::boolean(d.opened))("error", d.error.empty() ? json::null : json::text(d.error))("serial", json::text(d.serial))(
            "firmware_version", json::text(d.firmware))("variant", json::text(d.variant))(
            "variant_id", number(d.variantId))("user_id", json::text(d.userId))("max_transfer", number(d.maxTransfer));
        items.push_back(o.str());
    }
    return json::Object()("devices", json::array(items)).str() + "\n";
}

} // namespace inventory
} // namespace fwctl
