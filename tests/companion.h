#ifndef TESTS_COMPANION_H
#define TESTS_COMPANION_H

// The fixture of the companion's in-process tests: a scratch base
// directory, the stand-in's journal, and a command line run through
// fwctl::run with BASE and LOCKS filled in.

#include "fwctl.h"
#include "scratchbase.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

namespace companion {

using testutil::loaderDevice;
using testutil::loaderEntry;
using testutil::readFile;
using testutil::readLines;
using testutil::writeFile;

struct Result {
    int status;
    std::string out, err;
};


class Companion : public testutil::ScratchBase {
protected:
    void SetUp() override
    {
        ScratchBase::SetUp();
        writeFile(base / "service.log", "old\n");
        unsetenv("QMX4SIM_BUS");
        setenv("QMX4SIM_JOURNAL", (scratch / "journal").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QMX4SIM_JOURNAL");
        // Nothing the companion does touches the log.
        EXPECT_EQ(readFile(base / "service.log"), "old\n");
    }
    // Runs a command line, with BASE and a scratch lock directory filled in.
    // A device command must name the lock directory: the default is the
    // machine's own, where real passes take it.
    Result run(std::string args)
    {
        const bool device = args.rfind("list", 0) == 0 || args.rfind("info", 0) == 0 ||
                            args.rfind("set-user-id", 0) == 0 || args.rfind("metrics", 0) == 0;
        if (device && args.find("--lock-dir") == std::string::npos && args.find("--no-lock") == std::string::npos &&
            args.find("--help") == std::string::npos)
            ADD_FAILURE() << "'" << args << "' would take the machine's own lock: give --lock-dir LOCKS";
        for (const auto& [word, value] : {std::pair<std::string, std::string>{"BASE", base.path},
                                          {"LOCKS", scratch / "locks"}})
            for (size_t at; (at = args.find(word)) != std::string::npos;)
                args.replace(at, word.size(), value);
        std::vector<std::string> words;
        std::istringstream split(args);
        for (std::string word; split >> word;)
            words.push_back(word == "''" ? std::string() : word); // '' stands for an empty argument
        std::ostringstream out, err;
        std::remove((scratch / "journal").c_str());
        const int status = fwctl::run(words, out, err);
        return {status, out.str(), err.str()};
    }
    std::vector<std::string> journal() { return readLines(scratch / "journal"); }
};

} // namespace companion

#endif
