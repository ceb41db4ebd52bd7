#ifndef FWCTL_OUTPUT_H
#define FWCTL_OUTPUT_H

// Files the companion writes for other programs to read.

#include <string>

namespace fwctl {

// Replaces `path` with `content` through a temporary file beside it and a
// rename, so that no reader ever sees it half-written; the file gets mode
// 0644. Returns false with errno set when it could not, leaving no
// temporary file behind.
bool replaceFile(const std::string& path, const std::string& content);

} // namespace fwctl

#endif
