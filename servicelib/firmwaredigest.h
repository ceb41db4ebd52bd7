#ifndef SERVICELIB_FIRMWAREDIGEST_H
#define SERVICELIB_FIRMWAREDIGEST_H

#include <optional>
#include <string>

// Which firmware a pass hands to the library, and whether it is the one a
// device type pins with sha256="...".
namespace servicelib {

// A firmware file's size and SHA-256 as read through one descriptor.
struct FirmwareDigest {
    long long size = -1;
    std::string sha256;  // 64 lowercase hexadecimal digits; empty when the file could not be read
    std::string problem; // why it could not be read ("No such file or directory")
};

// Reads the file at `path` whole through regularfile_open (no waiting, regular files only); never throws for a bad
// file: the reason goes into `problem`.
FirmwareDigest digestFirmware(const std::string& path);

// Whether a sha256 attribute's value can pin a file: 64 hexadecimal digits, either case.
bool validPin(const std::string& text);

// "" when the file matches `pin` (or nothing is pinned); else the refusal "Firmware file PATH does not match its
// sha256: expected ..., found ...".
std::string pinMismatch(const std::string& path, const std::optional<std::string>& pin, const FirmwareDigest& digest);

} // namespace servicelib

#endif
