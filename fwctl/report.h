#ifndef FWCTL_REPORT_H
#define FWCTL_REPORT_H

// What the companion's reports share: tables printed for people or for
// scripts, and how devices, ids and retries are shown. All of it works on
// values a command gathered (gather.h): nothing here opens a file or calls
// the library.

#include "json.h"
#include "qmx4api.h"

#include <ostream>
#include <string>
#include <vector>

namespace fwctl {
namespace report {

struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

// Prints the table as aligned columns under a header (`table`), or as one
// tab-separated line per row without one. Fields are shown printable.
void print(const Table& report, bool table, std::ostream& out);

// The text escaped (textescape.h: control characters, tabs and line feeds
// among them, and bytes that are no UTF-8 become \t, \n, \x1b, ...), so that
// it stays within its line and column and a terminal obeys none of it.
std::string printable(const std::string& text);

// At most the first `most` bytes of a value, printable, never cutting an
// escape or a character, with "..." when cut: a message stays one short
// line whatever a file or a command line holds.
std::string excerpt(const std::string& text, size_t most = 80);

// Whether a number can be a USB vendor or product id (1..65535).
bool isUsbId(int id);

// A vendor or product id as sysfs shows it ("1234"), or "-" for a number
// that cannot be a USB id (outside 1..65535).
std::string usbId(int id);

// "1234:0001" for a vendor and product id.
std::string ids(int vid, int pid);

// A device's state for a table: "waiting for firmware" (2, the one state
// whose meaning the library's interface gives), "state N" for any other.
std::string state(int state);

// The time of day, as a Unix time to the microsecond.
double unixTime();

// A Unix time as local "YYYY-MM-DD HH:MM:SS" ("" when it cannot be shown).
std::string localTime(double when);

// Where a streak of retries stands, as systemd and the taken markers tell.
struct Retry {
    enum Kind { None, Due, GaveUp, Unknown } kind = None;
    double when = 0;  // Due: when the retry is due; GaveUp: when it gave up (Unix time; 0: unknown)
    int retry = 0;    // Due: which retry, from 1
    int retries = 0;  // Due: of how many; GaveUp: passes tried
    std::string problem; // Unknown: why it cannot be told
};

// What it tells an administrator at Unix time `now`: a retry that is due,
// retries used up, or why that cannot be told, as a sentence ("" when
// none), and as a JSON value (null when none).
std::string retryNote(const Retry& retry, double now);
std::string retryJson(const Retry& retry);

// The JSON fields every report gives a device: index, name, state (its
// number) and waiting_for_firmware (whether it is 2), vid and pid (numbers
// and their %04x texts, null when they cannot be USB ids).
void deviceFields(json::Object& o, int index, const qmx4api::DeviceInfo& info);

// The JSON fields of a pair of ids: <prefix>vid, <prefix>vid_hex and the same
// for pid.
void idFields(json::Object& o, int vid, int pid);

} // namespace report
} // namespace fwctl

#endif
