#include "explain.h"

#include "firmwaredigest.h"
#include "report.h"
#include "xelement.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace fwctl {
namespace explain {

namespace {

const std::vector<std::string> rootAttributes = {"logging", "append"};
const std::vector<std::string> entryAttributes = {"name", "fw", "type", "vid", "pid", "sha256"};

// Levenshtein distance, ignoring case.
size_t distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The known name nearest to `name` (ignoring case, at most two edits
// away), or "" when there is none.
std::string nearest(const std::string& name, const std::vector<std::string>& known)
{
    std::string best;
    size_t bestDistance = 3;
    for (const auto& candidate : known) {
        const size_t d = distance(name, candidate);
        if (d < bestDistance)
            best = candidate, bestDistance = d;
    }
    return best;
}

std::string quoted(const std::string& text)
{
    return "\"" + report::excerpt(text) + "\"";
}

// "; write 4660" for a number written in hex ("0x1234"), as ids are
// copied from lsusb.
std::string hexHint(const std::string& raw)
{
    const size_t start = raw.find_first_not_of(" \t\n\r\f\v");
    if (start == std::string::npos || (raw.compare(start, 2, "0x") != 0 && raw.compare(start, 2, "0X") != 0))
        return std::string();
    const std::string digits = raw.substr(start + 2);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::string();
    return "; write " + std::to_string(std::strtoll(digits.c_str(), nullptr, 16));
}

// What the downloader makes of a number attribute, read as `value`: a
// fault when that makes the entry invalid (`invalid` is the value it
// refuses), a warning when it reads something else than is written.
void number(const XElement& e, const std::string& attribute, int value, int invalid, const char* what,
            std::vector<std::string>& faults, std::vector<std::string>& warnings)
{
    if (!e.hasAttribute(attribute)) {
        if (value == invalid)
            faults.push_back(attribute + " is missing");
        return;
    }
    const std::string raw = e.getAttribute(attribute, std::string());
    const char* start = raw.c_str();
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(start, &end, 10);
    const bool digits = end != start, trailing = digits && *end;
    if (raw.find_first_not_of(" \t\n\r\f\v") == std::string::npos)
        faults.push_back(attribute + " is empty");
    else if (!digits || (trailing && value == invalid))
        faults.push_back(attribute + " " + quoted(raw) + " is not a decimal number" + hexHint(raw));
    else if (errno == ERANGE || n < INT_MIN || n > INT_MAX)
        faults.push_back(attribute + " " + quoted(raw) + " is out of range");
    else if (value == invalid)
        faults.push_back(attribute + " " + std::to_string(value) + " is not " + what);
    else if (trailing)
        warnings.push_back(attribute + " " + quoted(raw) + " is read as " + std::to_string(value) +
                           (hexHint(raw).empty() ? "" : ": numbers are decimal" + hexHint(raw)));
}

void boolean(const XElement& root, const std::string& attribute, bool value, const char* effect,
             std::vector<std::string>& warnings)
{
    const std::string raw = root.getAttribute(attribute, std::string());
    if (!root.hasAttribute(attribute) || raw == "true" || raw == "True" || raw == "false" || raw == "False")
        return;
    warnings.push_back(attribute + "=" + quoted(raw) + " is not true, True, false or False, so the default, " +
                       (value ? "true" : "false") + ", applies: " + effect);
}

void unknownAttributes(const XElement& e, const std::vector<std::string>& known, const std::string& where,
                       std::vector<std::string>& warnings)
{
    for (const auto& attribute : e.getAttributes()) {
        if (std::find(known.begin(), known.end(), attribute.first) != known.end())
            continue;
        const std::string guess = nearest(attribute.first, known);
        warnings.push_back(where + "attribute " + quoted(attribute.first) + " is not read" +
                           (guess.empty() ? "" : " (did you mean " + quoted(guess) + "?)"));
    }
}

// <type> elements anywhere below `e`, which the downloader does not read.
void nestedTypes(const XElement& e, const std::string& path, std::vector<std::string>& warnings)
{
    for (const auto& child : e.getChildren()) {
        const std::string here = path + "<" + report::excerpt(child->getName()) + ">";
        if (child->getName() == "type")
            warnings.push_back(here + " (" + report::excerpt(child->getAttribute("name", "Unknown")) +
                               ") is not read: device types go directly under the root");
        nestedTypes(*child, here, warnings);
    }
}

// Explains a tree read from c.file.
void examine(const XElement& root, Configuration& c)
{
    c.readable = true;
    c.logging = root.getAttribute("logging", true);
    c.append = root.getAttribute("append", false);
    boolean(root, "logging", c.logging, "the log is written", c.warnings);
    boolean(root, "append", c.append, "every pass deletes the log of the passes before", c.warnings);
    unknownAttributes(root, rootAttributes, "the root element: ", c.warnings);
    for (const auto& child : root.getChildren()) {
        const std::string name = "<" + report::excerpt(child->getName()) + ">";
        if (child->getName() != "type") {
            const bool near = !nearest(child->getName(), {"type"}).empty();
            c.warnings.push_back(name + " is not read: device types are <type> elements" +
                                 (near ? " (did you mean <type>?)" : ""));
            nestedTypes(*child, name, c.warnings);
            continue;
        }
        Entry e;
        e.entry = servicelib::readEntry(*child);
        const std::string label = "entry #" + std::to_string(c.entries.size()) + " (" +
                                  report::excerpt(e.entry.name) + "): ";
        std::vector<std::string> warnings;
        if (child->hasAttribute("name") && e.entry.name.empty())
            e.faults.push_back("name is empty");
        if (e.entry.fw.empty())
            e.faults.push_back(child->hasAttribute("fw") ? "fw is empty" : "fw is missing: it names the firmware file in data/");
        number(*child, "type", e.entry.type, -1, "a device type number", e.faults, warnings);
        number(*child, "vid", e.entry.vid, 0, "a USB vendor id", e.faults, warnings);
        number(*child, "pid", e.entry.pid, 0, "a USB product id", e.faults, warnings);
        if (e.entry.sha256 && !servicelib::validPin(*e.entry.sha256))
            e.faults.push_back("sha256 is \"" + report::excerpt(*e.entry.sha256) +
                               "\", not 64 hexadecimal digits: sha256sum data/" + report::excerpt(e.entry.fw) +
                               " gives them");
        for (const auto& warning : warnings)
            c.warnings.push_back(label + warning);
        unknownAttributes(*child, entryAttributes, label, c.warnings);
        nestedTypes(*child, "<type>", c.warnings);
        c.entries.push_back(std::move(e));
    }
}

} // namespace

Configuration examine(const std::string& baseDir)
{
    Configuration c;
    c.file = servicelib::getConfigFileName(baseDir);
    try {
        servicelib::readDeviceEntries(baseDir);
    } catch (const std::exception& e) {
        c.refused = servicelib::configurationFailure(baseDir, e.what());
    }
    try {
        examine(*XElement::fromFile(c.file), c);
    } catch (const std::exception&) {
        // Unreadable XML: the refusal says why.
    }
    return c;
}

} // namespace explain
} // namespace fwctl
