#include "replacefile.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

int replacefile(const char *dir, const char *name, const char *content, size_t size)
{
    char path[PATH_MAX], temporary[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path ||
        snprintf(temporary, sizeof temporary, "%s/.%s.XXXXXX", dir, name) >= (int)sizeof temporary) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = mkstemp(temporary);
    if (fd < 0)
        return -1;
    int ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < size;) {
        const ssize_t n = write(fd, content + done, size - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? (size_t)n : 0;
    }
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary, path) != 0) {
        const int error = errno;
        unlink(temporary);
        errno = error;
        return -1;
    }
    return 0;
}
