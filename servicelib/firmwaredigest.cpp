#include "firmwaredigest.h"

#include "regularfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <nettle/sha2.h>
#include <unistd.h>

namespace servicelib {

FirmwareDigest digestFirmware(const std::string& path)
{
    FirmwareDigest digest;
    char why[REGULARFILE_WHY];
    const int fd = regularfile_open(path.c_str(), LLONG_MAX, why);
    if (fd < 0) {
        digest.problem = why;
        return digest;
    }
    sha256_ctx context;
    sha256_init(&context);
    unsigned char block[65536];
    long long size = 0;
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) {
            sha256_update(&context, static_cast<size_t>(n), block);
            size += n;
        }
    if (n < 0)
        digest.problem = std::strerror(errno);
    close(fd);
    if (n < 0)
        return digest;
    unsigned char value[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof value, value);
    static const char hex[] = "0123456789abcdef";
    for (unsigned char byte : value)
        digest.sha256 += {hex[byte >> 4], hex[byte & 15]};
    digest.size = size;
    return digest;
}

bool validPin(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string pinMismatch(const std::string& path, const std::optional<std::string>& pin, const FirmwareDigest& digest)
{
    if (!pin)
        return "";
    std::string expected = *pin;
    std::transform(expected.begin(), expected.end(), expected.begin(), [](unsigned char c) { return std::tolower(c); });
    if (digest.sha256 == expected)
        return "";
    return "Firmware file " + path + " does not match its sha256: expected " + expected + ", found " +
           (digest.sha256.empty() ? "none (" + digest.problem + ")" : digest.sha256);
}

} // namespace servicelib
