#ifndef FWCTL_PASSJOURNAL_H
#define FWCTL_PASSJOURNAL_H

#include <map>
#include <optional>
#include <string>
#include <vector>

// A pass on record in the journal, structured: one entry per device it
// served or failed at, one for its end and one when the service gave up,
// each with a MESSAGE_ID that qmx4-fwload.catalog explains and that history
// matches on. Gathered from the events file (passevents.h), then sent.
namespace fwctl {
namespace passjournal {

// The message ids, made once (systemd-id128 new).
extern const char* const downloadedId;
extern const char* const failedId;
extern const char* const passEndedId;
extern const char* const gaveUpId;

// The entries' own fields, which history reads back.
namespace field {
constexpr const char* outcome = "FWLOAD_OUTCOME";
constexpr const char* deviceIndex = "FWLOAD_DEVICE_INDEX";
constexpr const char* deviceName = "FWLOAD_DEVICE_NAME";
constexpr const char* vid = "FWLOAD_VID";
constexpr const char* pid = "FWLOAD_PID";
constexpr const char* entry = "FWLOAD_ENTRY";
constexpr const char* type = "FWLOAD_TYPE";
constexpr const char* firmware = "FWLOAD_FIRMWARE";
constexpr const char* size = "FWLOAD_FIRMWARE_SIZE";
constexpr const char* checksum = "FWLOAD_FIRMWARE_CHECKSUM";
constexpr const char* libraryText = "FWLOAD_LIBRARY_TEXT";
constexpr const char* result = "FWLOAD_RESULT";
constexpr const char* downloads = "FWLOAD_DOWNLOADS";
constexpr const char* tries = "FWLOAD_TRIES";
} // namespace field

// A field's whole number (decimal.h); -1 for "" or anything else.
long long wholeNumber(const std::string& text);

// One device event of a pass: "downloaded" or "failed", the device's place in the listing (-1: none) and its fields.
struct DeviceEvent {
    bool downloaded = false;
    int index = -1;
    std::map<std::string, std::string> fields; // entry, type, file, device, vid, pid, size, sha256, text
};

// The device events in an events file's text; lines it does not know, and fields without '=', are passed over.
std::vector<DeviceEvent> deviceEvents(const std::string& events);

// How the service ended ($EXIT_CODE, $EXIT_STATUS) and what the pass did, for its end's entry.
struct Ended {
    bool passed = false;   // the events file holds a pass
    bool success = false;  // it ended with status 0
    int downloads = 0;
    int tries = 0;
    double seconds = 0;
    bool gaveUp = false;   // the service exited with the give-up status
};

// One journal entry: its fields as "KEY=value", MESSAGE (escaped) first.
using Entry = std::vector<std::string>;

// The entries of a pass, from values alone.
std::vector<Entry> entries(const std::vector<DeviceEvent>& events, const Ended& ended);

// Sends them with sd_journal_sendv; returns how many reached the journal (none where there is no journal).
int send(const std::vector<Entry>& entries);

} // namespace passjournal
} // namespace fwctl

#endif
