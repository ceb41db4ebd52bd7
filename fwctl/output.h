#ifndef FWCTL_OUTPUT_H
#define FWCTL_OUTPUT_H

// Files the companion writes for other programs to read.

#include <ostream>
#include <string>

namespace fwctl {

// Replaces the file at `path` with `content` through a temporary file beside
// it and a rename, so that no reader ever sees it half-written. Only a
// regular file is replaced (keeping its mode; a new one gets 0644); a
// symbolic link is followed and the file it leads to is replaced, the link
// kept. Anything else there (a device node, directory, FIFO or socket) is
// left as it is. Throws Failure, naming the path, when it cannot write; no
// temporary file is left behind.
void replaceFile(const std::string& path, const std::string& content);

// Writes `content` to `out` when `path` is "-" (--output's default), else
// replaces the file at `path` with it as replaceFile does.
void writeOutput(const std::string& path, const std::string& content, std::ostream& out);

} // namespace fwctl

#endif
