#include "output.h"

#include "regularfile.h"
#include "session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace fwctl {

namespace {

// The file a path leads to through symbolic links (relative ones taken from
// the link's directory), or the path itself when it is not a link.
std::string target(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        std::string link(static_cast<size_t>(info.st_size) + 256, '\0');
        const ssize_t n = readlink(path.c_str(), &link[0], link.size());
        if (n < 0 || static_cast<size_t>(n) >= link.size())
            return path;
        link.resize(static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    throw Failure("can't write " + path + ": too many levels of symbolic links");
}

} // namespace

void replaceFile(const std::string& path, const std::string& content)
{
    const std::string file = target(path);
    const auto failed = [&](const std::string& why) { return Failure("can't write " + file + ": " + why); };
    struct stat info;
    mode_t mode = 0644;
    if (stat(file.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            throw Failure("refusing to replace " + file + ": it is " + regularfile_kind(info.st_mode) + ", not a regular file");
        mode = info.st_mode & 07777;
    }
    std::string temporary = file + ".XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0)
        throw failed(std::strerror(errno));
    bool ok = fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    // On disk before the rename: after a power loss the file is the old one
    // or the new one, never an empty one.
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        unlink(temporary.c_str());
        throw failed(std::strerror(error));
    }
}

void writeOutput(const std::string& path, const std::string& content, std::ostream& out)
{
    if (path == "-")
        out << content;
    else
        replaceFile(path, content);
}

} // namespace fwctl
