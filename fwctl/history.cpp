#include "history.h"

#include "passjournal.h"
#include "session.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace fwctl {
namespace history {

std::optional<long long> sinceUsec(const std::string& text, long long nowUsec)
{
    const long long second = 1000000;
    if (text == "now")
        return nowUsec;
    if (text.size() > 1 && text[0] == '-') {
        size_t digits = 1;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
            ++digits;
        const std::string unit = text.substr(digits);
        const long long scale = unit == "s" ? 1 : unit == "min" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
        if (digits == 1 || digits > 10 || scale == 0)
            return std::nullopt;
        return nowUsec - std::stoll(text.substr(1, digits - 1)) * scale * second;
    }
    std::tm when{};
    const time_t now = static_cast<time_t>(nowUsec / second);
    localtime_r(&now, &when);
    if (text == "today" || text == "yesterday") {
        when.tm_hour = when.tm_min = when.tm_sec = 0;
        when.tm_mday -= text == "yesterday";
    } else {
        when = std::tm{};
        const char* end = nullptr;
        for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"})
            if (when = std::tm{}, (end = strptime(text.c_str(), format, &when)) && *end == '\0')
                break;
        if (!end || *end != '\0')
            return std::nullopt;
    }
    when.tm_isdst = -1;
    const time_t at = mktime(&when);
    return at == -1 ? std::nullopt : std::optional<long long>(static_cast<long long>(at) * second);
}

namespace {

// A field of the journal's current entry, "" when it has none.
std::string field(sd_journal* j, const char* name)
{
    const void* data;
    size_t length;
    const size_t prefix = std::strlen(name) + 1;
    if (sd_journal_get_data(j, name, &data, &length) < 0 || length < prefix)
        return "";
    return std::string(static_cast<const char*>(data) + prefix, length - prefix);
}

// Whether this user may read the whole system journal.
bool mayReadJournal()
{
    if (geteuid() == 0)
        return true;
    gid_t groups[256];
    const int count = getgroups(256, groups);
    for (const char* name : {"systemd-journal", "adm", "wheel"})
        if (const group* g = getgrnam(name))
            for (int i = 0; i < count; ++i)
                if (groups[i] == g->gr_gid || getegid() == g->gr_gid)
                    return true;
    return false;
}

} // namespace

std::vector<Download> read(const Filter& filter)
{
    if (access("/run/systemd/journal", F_OK) != 0 && access("/var/log/journal", F_OK) != 0)
        throw Failure("no journal to read here (no systemd-journald): the downloads are on record only in the "
                      "journal");
    if (!mayReadJournal())
        throw Failure("can't read the system journal: only root and the groups systemd-journal and adm may "
                      "(sudo qmx4-fwctl history, or usermod -a -G systemd-journal USER)");
    sd_journal* j = nullptr;
    if (const int r = sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY | SD_JOURNAL_SYSTEM); r < 0)
        throw Failure(std::string("can't open the journal: ") + std::strerror(-r));
    const std::string failed = std::string("MESSAGE_ID=") + passjournal::failedId;
    const std::string downloaded = std::string("MESSAGE_ID=") + passjournal::downloadedId;
    sd_journal_add_match(j, failed.data(), failed.size());
    if (!filter.failed)
        sd_journal_add_match(j, downloaded.data(), downloaded.size());
    const std::string type = std::string(passjournal::field::type) + "=" + filter.type;
    if (!filter.type.empty())
        sd_journal_add_match(j, type.data(), type.size());
    std::vector<Download> found;
    sd_journal_seek_tail(j);
    while (sd_journal_previous(j) > 0) {
        Download d;
        uint64_t usec = 0;
        sd_journal_get_realtime_usec(j, &usec);
        d.usec = static_cast<long long>(usec);
        if (d.usec < filter.sinceUsec)
            break;
        d.downloaded = field(j, passjournal::field::outcome) == "downloaded";
        const std::string index = field(j, passjournal::field::deviceIndex);
        d.index = static_cast<int>(passjournal::wholeNumber(index));
        d.device = field(j, passjournal::field::deviceName);
        const std::string vid = field(j, passjournal::field::vid), pid = field(j, passjournal::field::pid);
        if (!vid.empty() && !pid.empty())
            d.ids = report::ids(static_cast<int>(passjournal::wholeNumber(vid)),
                                static_cast<int>(passjournal::wholeNumber(pid)));
        d.type = field(j, passjournal::field::type);
        d.file = field(j, passjournal::field::firmware);
        d.size = field(j, passjournal::field::size);
        d.sha256 = field(j, passjournal::field::checksum);
        d.text = field(j, passjournal::field::libraryText);
        found.push_back(std::move(d));
    }
    sd_journal_close(j);
    return found;
}

report::Table table(const std::vector<Download>& downloads, bool shortSums)
{
    report::Table t;
    t.header = {"TIME", "DEVICE", "NAME", "VID:PID", "TYPE", "FILE", "SIZE", "SHA256", "OUTCOME"};
    for (const Download& d : downloads)
        t.rows.push_back({report::localTime(static_cast<double>(d.usec) / 1e6), d.index < 0 ? "-" : std::to_string(d.index), d.device, d.ids, d.type,
                          d.file, d.size, shortSums && d.sha256.size() > 12 ? d.sha256.substr(0, 12) : d.sha256,
                          d.downloaded ? "downloaded" : "failed: " + d.text});
    return t;
}

std::string json(const std::vector<Download>& downloads)
{
    std::vector<std::string> items;
    for (const Download& d : downloads)
        items.push_back(json::Object()("time", json::number(d.usec / 1000000))("time_usec", json::number(d.usec))(
                                "device", d.index < 0 ? json::null : json::number(d.index))("name", json::text(d.device))(
                                "ids", json::text(d.ids))("type", json::text(d.type))("file", json::text(d.file))(
                                "size", passjournal::wholeNumber(d.size) < 0
                                            ? json::null
                                            : json::number(passjournal::wholeNumber(d.size)))(
                                "sha256", d.sha256.empty() ? json::null : json::text(d.sha256))(
                                "outcome", json::text(d.downloaded ? "downloaded" : "failed"))(
                                "text", d.text.empty() ? json::null : json::text(d.text))
                            .str());
    return json::array(items) + "\n";
}

} // namespace history
} // namespace fwctl
