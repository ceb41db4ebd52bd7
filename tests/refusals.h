#ifndef TESTS_REFUSALS_H
#define TESTS_REFUSALS_H

// Configurations that qmx4-fwload refuses before it touches a device, and
// that every reader of service.xml (the service, the downloader, the
// companion) must refuse with the same text.

#include "testutil.h"

#include <string>
#include <vector>

namespace refusals {

struct Refusal {
    std::string xml;
    std::string text;             // what reading it throws
    std::vector<std::string> log; // the log a run leaves over an old log "old"
};

inline std::string nested(int depth)
{
    std::string s;
    for (int i = 0; i < depth; ++i)
        s += "<a>";
    return s;
}

// The refusals of a service.xml at `file`, the path the reader was given.
inline std::vector<Refusal> all(const std::string& file)
{
    const std::string& entry = testutil::loaderEntry;
    const std::vector<std::string> untouched = {"old"};
    return {
        {"", "No root element.", untouched},
        {"<?xml version=\"1.0\"?>\n", "No root element.", untouched},
        {"\x89PNG\r\n\x1a\n\xff\xfe\x01garbage", "No root element.", untouched},
        {"<service>\n<type", "Malformed XML in " + file + " at line 2, column 2: Failed to read Element name",
         untouched},
        {std::string("<service>\0", 10) + entry + "</service>", "Malformed XML in " + file + ": Error reading Element value.",
         untouched},
        {"<?xml version='1.0' encoding='UTF-8'?><service><type name='\xC3'/>\xC3</service>",
         "Malformed XML in " + file + " at line 1, column 54: Error parsing Element.", untouched},
        {"<service>" + nested(300), "XML elements nested deeper than 256 levels in " + file + ".", untouched},
        // An invalid entry is found once the log switches are set: the old
        // log is gone (append is off) and the text is logged.
        {"<service>" + entry + "<type name='B'/></service>", "Invalid device entry #1", {"Invalid device entry #1"}},
        {"<service>" + entry + "<type name='' fw='x' type='1' vid='1' pid='1'/></service>", "Invalid device entry #1",
         {"Invalid device entry #1"}},
        {"<service logging='false' append='true'><type/></service>", "Invalid device entry #0", untouched},
        // A pin that is not 64 hexadecimal digits pins nothing: refused.
        {"<service><type name='L' fw='loader.bin' type='1' vid='4660' pid='1' sha256='c3bf47'/></service>",
         "Invalid device entry #0", {"Invalid device entry #0"}},
    };
}

// What a program prints for it: the text, with the file named in front
// where the text does not name it.
inline std::string printed(const Refusal& r, const std::string& file)
{
    return r.text.find(file) == std::string::npos ? file + ": " + r.text : r.text;
}

} // namespace refusals

#endif
