#include "entries.h"

#include "gather.h"

#include <map>

namespace fwctl {
namespace entries {

namespace {

std::string joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}

} // namespace

std::vector<Row> rows(const explain::Configuration& c, const std::string& baseDir)
{
    std::vector<Row> result;
    std::map<std::pair<int, int>, size_t> first;
    for (size_t n = 0; n < c.entries.size(); ++n) {
        const explain::Entry& e = c.entries[n];
        Row row{&e, servicelib::firmwarePath(baseDir, e.entry.fw), {}};
        if (!e.faults.empty()) {
            row.problems.push_back("invalid: " + joined(e.faults));
            result.push_back(std::move(row));
            continue;
        }
        if (const std::string firmware = gather::firmwareProblem(row.path, e.entry.sha256); !firmware.empty())
            row.problems.push_back(firmware);
        if (!report::isUsbId(e.entry.vid) || !report::isUsbId(e.entry.pid))
            row.problems.push_back("ids cannot be USB ids");
        const auto seen = first.emplace(std::make_pair(e.entry.vid, e.entry.pid), n);
        if (!seen.second)
            row.problems.push_back("never used: #" + std::to_string(seen.first->second) + " has the same ids");
        result.push_back(std::move(row));
    }
    return result;
}

bool servable(const explain::Configuration& c, const std::vector<Row>& rows)
{
    bool ok = c.refused.empty();
    for (const auto& row : rows)
        ok = ok && row.problems.empty();
    return ok;
}

report::Table table(const std::vector<Row>& rows)
{
    report::Table t;
    t.header = {"#", "NAME", "VID:PID", "VID/PID", "TYPE", "FIRMWARE", "STATUS"};
    for (size_t n = 0; n < rows.size(); ++n) {
        const servicelib::DeviceEntry& e = rows[n].entry->entry;
        t.rows.push_back({std::to_string(n), e.name, report::ids(e.vid, e.pid),
                          std::to_string(e.vid) + "/" + std::to_string(e.pid), std::to_string(e.type), rows[n].path,
                          rows[n].problems.empty() ? "ok" : joined(rows[n].problems)});
    }
    return t;
}

std::string json(const explain::Configuration& c, const std::vector<Row>& rows)
{
    std::vector<std::string> entries, warnings;
    for (size_t n = 0; n < rows.size(); ++n) {
        const explain::Entry& e = *rows[n].entry;
        std::vector<std::string> faults, problems;
        for (const auto& fault : e.faults)
            faults.push_back(json::text(fault));
        for (const auto& problem : rows[n].problems)
            problems.push_back(json::text(problem));
        json::Object o;
        o("index", json::number(static_cast<long long>(n)))("name", json::text(e.entry.name))(
            "fw", json::text(e.entry.fw))("firmware_path", json::text(rows[n].path))("type", json::number(e.entry.type));
        report::idFields(o, e.entry.vid, e.entry.pid);
        o("valid", json::boolean(e.faults.empty()))("faults", json::array(faults))(
            "servable", json::boolean(rows[n].problems.empty()))("problems", json::array(problems));
        entries.push_back(o.str());
    }
    for (const auto& warning : c.warnings)
        warnings.push_back(json::text(warning));
    return json::Object()("file", json::text(c.file))("refused", c.refused.empty() ? json::null : json::text(c.refused))(
               "readable", json::boolean(c.readable))("logging", json::boolean(c.logging))(
               "append", json::boolean(c.append))("entries", json::array(entries))("warnings", json::array(warnings))(
               "servable", json::boolean(servable(c, rows)))
               .str() +
           "\n";
}

} // namespace entries
} // namespace fwctl
