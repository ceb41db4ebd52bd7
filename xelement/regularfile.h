/*
 * Files the project's programs read whole or append to: opened without
 * waiting on them and checked on the opened descriptor, so that a FIFO, a
 * device or a socket in a file's place is refused at once instead of
 * blocking the program (and the passes' lock with it) or feeding it without
 * end. The XML model, the downloader's log, the companion, the helper and
 * the stand-in all open such files here.
 */
#ifndef XELEMENT_REGULARFILE_H
#define XELEMENT_REGULARFILE_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The size limit of a file read whole (service.xml, config.xml, a bus
   file): 256 MiB, more than twice the largest configuration tried (a
   million device types, 102 MB). */
#define REGULARFILE_LIMIT (256LL << 20)

/* The room a reason needs. */
#define REGULARFILE_WHY 128

/* What a file of this mode is, for a refusal: "a FIFO", "a directory", ... */
const char *regularfile_kind(mode_t mode);

/* Opens `path` for reading without waiting on it, and checks on the opened
   descriptor that it is a regular file of at most `limit` bytes. Returns
   the descriptor (close-on-exec, blocking again), or with the reason in
   `why`: -1 when it cannot be opened (errno set), -2 when it is no regular
   file ("it is a FIFO, not a regular file"), -3 when it is larger ("it has
   300000000 bytes, more than the limit of 268435456"). */
int regularfile_open(const char *path, long long limit, char *why);

/* For regularfile_openat: a symbolic link is refused, not followed. */
#define REGULARFILE_NOFOLLOW 1

/* regularfile_open for `path` relative to the directory `dir` (AT_FDCWD:
   the working directory), with REGULARFILE_NOFOLLOW in `flags` refusing a
   symbolic link ("it is a symbolic link, not a regular file", -2). */
int regularfile_openat(int dir, const char *path, int flags, long long limit, char *why);

/* Opens `path` for appending, creating it (mode 0666 less the umask),
   without waiting on it: a regular file, or a FIFO that a reader holds open
   (writes to it never wait; what does not fit is lost). Returns the
   descriptor (close-on-exec), or -1 (errno set: no reader, no such
   directory, ...) and -2 (a device, ...) as regularfile_open does. */
int regularfile_append(const char *path, char *why);

#ifdef __cplusplus
}

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace regularfile {

// Reads the file at `path` whole into `content`, as regularfile_open opens
// it. Returns 0, or what regularfile_open returns (-3 also when the file
// grows past `limit` while read), or -4 when a read fails (errno set), each
// with the reason in `why`. `content` may hold part of the file then.
inline int readWhole(const std::string& path, std::string& content, std::string& why,
                     long long limit = REGULARFILE_LIMIT)
{
    char reason[REGULARFILE_WHY] = "";
    const int fd = regularfile_open(path.c_str(), limit, reason);
    if (fd < 0)
        return why = reason, fd;
    content.clear();
    int result = 0;
    for (char block[65536];;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            result = -4;
        } else if (static_cast<long long>(content.size()) + n > limit) {
            why = "it grew past the limit of " + std::to_string(limit) + " bytes";
            result = -3;
        } else if (n > 0) {
            content.append(block, static_cast<size_t>(n));
            continue;
        }
        break;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return result;
}

} // namespace regularfile
#endif

#endif
