#include "prometheus.h"

#include "decimal.h"
#include "firmwaredigest.h"
#include "passevents.h"
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace fwctl {
namespace prometheus {

namespace {

const char* const prefix = "qmx4_fwload_";

// The shortest text that reads back as the same value (0.003, not
// 0.0030000000000000001).
std::string number(double value)
{
    // A count as its digits (70, not 7e+01), exact up to 2^53.
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0)
        return std::to_string(static_cast<long long>(value));
    char text[64];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    return text;
}

// "# HELP" and "# TYPE" lines, then the samples.
void family(std::string& out, const std::string& name, const char* type, const char* help,
            const std::vector<std::pair<std::string, double>>& samples)
{
    out += "# HELP " + (prefix + name) + ' ' + help + "\n# TYPE " + prefix + name + ' ' + type + '\n';
    for (const auto& sample : samples)
        out += prefix + name + sample.first + ' ' + number(sample.second) + '\n';
}

} // namespace

Pass parsePass(const std::string& text)
{
    // result,downloads,seconds[,retry]
    std::vector<std::string> fields;
    for (size_t at = 0;; ++at) {
        const size_t comma = text.find(',', at);
        fields.push_back(text.substr(at, comma - at));
        if (comma == std::string::npos)
            break;
        at = comma;
    }
    Pass pass{};
    double downloads = 0;
    const bool ok = (fields.size() == 3 || (fields.size() == 4 && fields[3] == "retry")) &&
                    (fields[0] == "success" || fields[0] == "failure") &&
                    decimal_parse(fields[1].c_str(), -1, 1e9, DECIMAL_WHOLE, &downloads) == 0 &&
                    decimal_parse(fields[2].c_str(), -1, 1e9, 0, &pass.seconds) == 0;
    if (!ok)
        throw std::invalid_argument("--record takes success|failure,DOWNLOADS,SECONDS[,retry], not " +
                                    report::excerpt(text));
    pass.success = fields[0] == "success";
    pass.downloads = static_cast<long>(downloads);
    pass.retry = fields.size() == 4;
    return pass;
}

std::optional<Pass> passOf(const std::string& events, double bootNow, int* tries)
{
    std::istringstream in(events);
    std::optional<Pass> pass;
    double begun = 0, count = 0;
    for (std::string line, word, a, b; std::getline(in, line);) {
        std::istringstream fields(line);
        fields >> word >> a >> b;
        if (word == PASSEVENTS_BEGUN && decimal_parse(a.c_str(), -1, 1e9, DECIMAL_WHOLE, &count) == 0 &&
            decimal_parse(b.c_str(), -1, 1e12, 0, &begun) == 0) {
            pass = Pass{false, 0, std::max(0.0, bootNow - begun), count > 1};
            *tries = static_cast<int>(count);
        } else if (pass && word == PASSEVENTS_DOWNLOADED)
            ++pass->downloads;
        else if (pass && word == PASSEVENTS_ENDED && decimal_parse(b.c_str(), -1, 1e9, 0, &pass->seconds) == 0)
            pass->success = a == "0";
    }
    return pass;
}

Passes read(const std::string& text, std::string& problem)
{
    Passes passes;
    std::istringstream in(text);
    int number = 0;
    const auto bad = [&](const std::string& why) {
        problem = "line " + std::to_string(number) + " " + why;
        return Passes();
    };
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t blank = line.rfind(' ');
        if (line.rfind(prefix, 0) != 0 || blank == std::string::npos)
            return bad("is no qmx4_fwload_ sample");
        const std::string name = line.substr(std::string(prefix).size(), blank - std::string(prefix).size());
        const std::string valueText = line.substr(blank + 1);
        char* end = nullptr;
        const double value = std::strtod(valueText.c_str(), &end);
        if (valueText.empty() || *end || !std::isfinite(value) || value < 0)
            return bad("has no finite number at least 0: " + report::excerpt(valueText));
        const bool counter = name.rfind("passes_total", 0) == 0 || name == "downloads_total" || name == "retries_total";
        if (counter && (value != std::floor(value) || value >= 9007199254740992.0))
            return bad("has a counter that is no whole number: " + report::excerpt(valueText));
        if (name == "last_pass_timestamp_seconds")
            passes.any = true, passes.lastEnded = value;
        else if (name == "last_pass_success")
            passes.lastSuccess = value == 1;
        else if (name == "last_pass_duration_seconds")
            passes.lastSeconds = value;
        else if (name == "passes_total{result=\"success\"}")
            passes.succeeded = value;
        else if (name == "passes_total{result=\"failure\"}")
            passes.failed = value;
        else if (name == "downloads_total")
            passes.downloads = value;
        else if (name == "retries_total")
            passes.retries = value;
    }
    // A file cut by a crash or a full disk must not pass for counters
    // that start again from zero.
    if (text.empty() || text.back() != '\n' || text.find("\n" + std::string(prefix) + "passes_total{") == std::string::npos)
        return bad("ends before the pass counters: the file was cut short");
    return passes;
}

void add(Passes& passes, const Pass& pass, double ended)
{
    passes.any = true;
    passes.lastEnded = ended;
    passes.lastSuccess = pass.success;
    passes.lastSeconds = pass.seconds;
    (pass.success ? passes.succeeded : passes.failed) += 1;
    passes.downloads += static_cast<double>(pass.downloads);
    passes.retries += pass.retry ? 1 : 0;
}

Devices count(const std::vector<servicelib::DeviceEntry>& entries,
              const std::vector<qmx4api::EnumeratedDevice>& devices)
{
    Devices counted;
    for (const auto& device : devices) {
        const qmx4api::DeviceInfo info = device.getInfo();
        ++counted.states[info.getState()];
        if (!servicelib::waitsForFirmware(info.getState()))
            ++counted.other;
        else if (servicelib::findEntry(entries, info))
            ++counted.waiting;
        else
            ++counted.untyped;
    }
    return counted;
}

std::vector<Firmware> firmware(const std::vector<servicelib::DeviceEntry>& entries, const std::string& baseDir)
{
    std::vector<Firmware> files;
    for (const auto& entry : entries)
        files.push_back({entry.name, entry.fw,
                         servicelib::digestFirmware(servicelib::firmwarePath(baseDir, entry.fw)).sha256});
    return files;
}

namespace {

// A label value as the exposition format takes it: backslash, double quote
// and line feed escaped; other control characters and bytes beyond ASCII
// (which need not be UTF-8) shown as '?'.
std::string labelValue(const std::string& text)
{
    std::string value;
    for (const unsigned char c : text)
        if (c == '\\' || c == '"')
            value += {'\\', static_cast<char>(c)};
        else if (c == '\n')
            value += "\\n";
        else
            value += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    return value;
}

} // namespace

std::string render(const Passes& passes, const Devices* devices, const report::Retry& retry,
                   const std::vector<Firmware>& firmware)
{
    std::string out;
    if (passes.any) {
        family(out, "last_pass_timestamp_seconds", "gauge", "When the last firmware pass ended, as a Unix time.",
               {{"", passes.lastEnded}});
        family(out, "last_pass_success", "gauge", "1 when the last firmware pass succeeded, 0 when it failed.",
               {{"", passes.lastSuccess ? 1 : 0}});
        family(out, "last_pass_duration_seconds", "gauge", "How long the last firmware pass took.",
               {{"", passes.lastSeconds}});
    }
    family(out, "passes_total", "counter", "Firmware passes, by result.",
           {{"{result=\"success\"}", passes.succeeded}, {"{result=\"failure\"}", passes.failed}});
    family(out, "downloads_total", "counter", "Firmware downloads completed by passes.", {{"", passes.downloads}});
    family(out, "retries_total", "counter", "Passes that retried a failed one.", {{"", passes.retries}});
    family(out, "gave_up", "gauge",
           "1 when the last failed pass was retried as often as configured and failed all the same, until the next "
           "pass.",
           {{"", retry.kind == report::Retry::GaveUp ? 1 : 0}});
    if (retry.kind == report::Retry::Due)
        family(out, "retry_due_timestamp_seconds", "gauge", "When the next retry of a failed pass is due, as a Unix time.",
               {{"", retry.when}});
    if (devices) {
        family(out, "devices", "gauge",
               "Attached QMX4 devices by what a pass would do with them, as seen right after the last pass.",
               {{"{state=\"waiting_for_firmware\"}", devices->waiting},
                {"{state=\"no_configured_type\"}", devices->untyped},
                {"{state=\"other\"}", devices->other}});
        std::vector<std::pair<std::string, double>> states;
        for (const auto& [state, count] : devices->states)
            states.push_back({"{state=\"" + std::to_string(state) + "\"}", count});
        family(out, "device_states", "gauge",
               "Attached QMX4 devices by the state number the device library reports (2: waiting for firmware).",
               states);
    }
    std::vector<std::pair<std::string, double>> files;
    for (size_t n = 0; n < firmware.size(); ++n)
        // Labels in the node exporter's order, so that the file reads as it serves them.
        files.push_back({"{entry=\"" + std::to_string(n) + "\",file=\"" + labelValue(firmware[n].file) +
                             "\",sha256=\"" + firmware[n].sha256 + "\",type=\"" + labelValue(firmware[n].type) + "\"}",
                         1});
    if (!files.empty())
        family(out, "firmware_info", "gauge",
               "The firmware file of each configured device type (entry: its place in service.xml) and the SHA-256 a "
               "pass would hand over now (empty when it cannot be read); always 1.",
               files);
    return out;
}

} // namespace prometheus
} // namespace fwctl
