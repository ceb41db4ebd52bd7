#include "passjournal.h"

#include "decimal.h"
#include "passevents.h"
#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace fwctl {
namespace passjournal {

const char* const downloadedId = "ebf232f909ef49b387ec21808d3c71d5";
const char* const failedId = "27cf98081d4e4d9c8b15d13bbb06467b";
const char* const passEndedId = "7d05fdabd36040a3ad590eb9e3cf6615";
const char* const gaveUpId = "1fb05a33d3164cf9b1f15a37b7609cd5";

namespace {

// A field's value as the downloader escaped it (\t, \n, \\), restored.
std::string unescaped(const std::string& text)
{
    std::string value;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            value += text[i];
            continue;
        }
        const char next = text[++i];
        value += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    }
    return value;
}

std::string get(const DeviceEvent& e, const char* key)
{
    const auto found = e.fields.find(key);
    return found == e.fields.end() ? std::string() : found->second;
}

// "device 0 (Q, 1234:0001), type Loader"
std::string deviceText(const DeviceEvent& e)
{
    std::string text = "device " + std::to_string(e.index);
    const std::string name = get(e, PASSEVENTS_DEVICE), vid = get(e, PASSEVENTS_VID), pid = get(e, PASSEVENTS_PID);
    if (!vid.empty() && !pid.empty()) {
        const std::string ids = report::ids(static_cast<int>(wholeNumber(vid)), static_cast<int>(wholeNumber(pid)));
        text += " (" + report::excerpt(name) + ", " + ids + ")";
    }
    if (e.fields.count(PASSEVENTS_TYPE))
        text += ", type " + report::excerpt(get(e, PASSEVENTS_TYPE));
    return text;
}

} // namespace

long long wholeNumber(const std::string& text)
{
    double value;
    return decimal_parse(text.c_str(), -1, 1e15, DECIMAL_WHOLE, &value) == 0 ? static_cast<long long>(value) : -1;
}

std::vector<DeviceEvent> deviceEvents(const std::string& events)
{
    std::vector<DeviceEvent> found;
    std::istringstream in(events);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string word, index;
        std::getline(fields, word, '\t');
        DeviceEvent e;
        std::istringstream head(word);
        head >> word >> index;
        if (word != PASSEVENTS_DOWNLOADED && word != PASSEVENTS_FAILED)
            continue;
        e.downloaded = word == PASSEVENTS_DOWNLOADED;
        e.index = static_cast<int>(wholeNumber(index));
        for (std::string field; std::getline(fields, field, '\t');)
            if (const size_t equals = field.find('='); equals != std::string::npos)
                e.fields[field.substr(0, equals)] = unescaped(field.substr(equals + 1));
        found.push_back(std::move(e));
    }
    return found;
}

std::vector<Entry> entries(const std::vector<DeviceEvent>& events, const Ended& ended)
{
    std::vector<Entry> result;
    for (const DeviceEvent& e : events) {
        Entry entry;
        const std::string sha = get(e, PASSEVENTS_SHA256), file = get(e, PASSEVENTS_FILE), size = get(e, PASSEVENTS_SIZE);
        // "loader.bin (8 bytes, sha256 c3bf...)", with what is known of it
        std::string what = file.empty() ? "firmware" : report::excerpt(file, 200);
        if (!size.empty() && !sha.empty())
            what += " (" + report::excerpt(size) + " bytes, sha256 " + report::excerpt(sha) + ")";
        if (e.downloaded)
            entry.push_back("MESSAGE=downloaded: " + what + " into " + deviceText(e));
        else if (e.index >= 0)
            entry.push_back("MESSAGE=download failed: " + deviceText(e) + ": " + report::excerpt(get(e, PASSEVENTS_TEXT), 300));
        else
            continue; // a pass that failed outside any device: its end's entry says so
        entry.push_back(std::string("MESSAGE_ID=") + (e.downloaded ? downloadedId : failedId));
        entry.push_back(e.downloaded ? "PRIORITY=6" : "PRIORITY=3");
        entry.push_back(std::string(field::outcome) + "=" + (e.downloaded ? "downloaded" : "failed"));
        entry.push_back(std::string(field::deviceIndex) + "=" + std::to_string(e.index));
        static const std::pair<const char*, const char*> named[] = {
            {PASSEVENTS_DEVICE, field::deviceName}, {PASSEVENTS_VID, field::vid},
            {PASSEVENTS_PID, field::pid},           {PASSEVENTS_ENTRY, field::entry},
            {PASSEVENTS_TYPE, field::type},         {PASSEVENTS_FILE, field::firmware},
            {PASSEVENTS_SIZE, field::size},         {PASSEVENTS_SHA256, field::checksum},
            {PASSEVENTS_TEXT, field::libraryText}};
        for (const auto& [key, name] : named)
            if (e.fields.count(key))
                entry.push_back(std::string(name) + "=" + get(e, key));
        result.push_back(std::move(entry));
    }
    if (ended.passed) {
        const std::string count =
            std::to_string(ended.downloads) + (ended.downloads == 1 ? " device" : " devices") + " downloaded";
        result.push_back({"MESSAGE=pass on record: " + count + ", " + (ended.success ? "success" : "failure") +
                              ", try " + std::to_string(ended.tries),
                          std::string("MESSAGE_ID=") + passEndedId, ended.success ? "PRIORITY=6" : "PRIORITY=4",
                          std::string(field::result) + "=" + (ended.success ? "success" : "failure"),
                          std::string(field::downloads) + "=" + std::to_string(ended.downloads),
                          std::string(field::tries) + "=" + std::to_string(ended.tries)});
    }
    if (ended.gaveUp)
        result.push_back({"MESSAGE=gave up after " + std::to_string(ended.tries) + " tries (on record)",
                          std::string("MESSAGE_ID=") + gaveUpId, "PRIORITY=3",
                          std::string(field::tries) + "=" + std::to_string(ended.tries)});
    return result;
}

int send(const std::vector<Entry>& entries)
{
    int sent = 0;
    for (Entry entry : entries) {
        entry.push_back("SYSLOG_IDENTIFIER=qmx4-fwload");
        std::vector<iovec> fields;
        for (std::string& field : entry)
            fields.push_back({field.data(), field.size()});
        sent += sd_journal_sendv(fields.data(), static_cast<int>(fields.size())) == 0;
    }
    return sent;
}

} // namespace passjournal
} // namespace fwctl
