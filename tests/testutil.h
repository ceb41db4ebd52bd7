#ifndef TESTS_TESTUTIL_H
#define TESTS_TESTUTIL_H

// Small helpers shared by the test files: scratch directories and files.

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

// The device type most tests configure, and an unconfigured device of it
// on the stand-in's bus.
const std::string loaderEntry = "<type name='Loader' fw='loader.bin' type='1' vid='4660' pid='1'/>";
const std::string loaderDevice = "<device name='Q' state='2' vid='4660' pid='1' firmwareType='1'/>";

// A fresh directory in $TMPDIR (or /tmp), removed with everything in it at
// the end. Its name begins with qmx4-test, which make test's host guard
// looks for when the run is over.
class TempDir {
public:
    TempDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/qmx4-test.XXXXXX";
        if (!mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp failed in " + name);
        path = name;
    }
    ~TempDir() { std::system(("chmod -R u+w '" + path + "' 2>/dev/null; rm -rf '" + path + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

inline void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// The file's content; empty when it cannot be read or is no regular file
// (missing, a directory, a FIFO a test put in its place).
inline std::string readFile(const std::string& path)
{
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        for (char block[65536];;) {
            const ssize_t n = read(fd, block, sizeof block);
            if (n <= 0)
                break;
            content.append(block, static_cast<size_t>(n));
        }
    if (fd >= 0)
        close(fd);
    return content;
}

inline std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace testutil

#endif
