#ifndef FWCTL_REPORT_H
#define FWCTL_REPORT_H

// What qmx4-fwctl check and list report: the configured entries and what
// stands in the way of serving each, and what a pass would do with each
// attached device. Both are tables, printed for people or for scripts.

#include "qmx4api.h"
#include "servicelib.h"

#include <ostream>
#include <string>
#include <vector>

namespace report {

struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    bool ok = true; // false when some entry could not be served
};

// One row per configured entry: number, name, ids in hex and decimal, type,
// the firmware path as a pass hands it to the library, and "ok" or what is
// wrong: a firmware file that is missing, no regular file, unreadable or
// empty, ids that cannot be USB ids, or an entry shadowed by an earlier one
// with the same ids. Looks at files only.
Table checkEntries(const std::string& baseDir, const std::vector<servicelib::DeviceEntry>& entries);

// One row per device: index, name, state, ids in hex, and what a pass would
// do: "download <fw> as type <n> (<entry name>)", "skip: configured" or
// "skip: no configured type".
Table planPass(const std::vector<servicelib::DeviceEntry>& entries,
                const std::vector<qmx4api::EnumeratedDevice>& devices);

// Prints the report as aligned columns under a header (`table`), or as one
// tab-separated line per row without one.
void print(const Table& report, bool table, std::ostream& out);

// The text with control characters (tabs and line feeds among them) turned
// into '?', so that it stays within its line and column.
std::string printable(const std::string& text);

// Whether a number can be a USB vendor or product id (1..65535).
bool isUsbId(int id);

// A vendor or product id as sysfs shows it ("1234"), or "-" for a number
// that cannot be a USB id (outside 1..65535).
std::string usbId(int id);

} // namespace report

#endif
