#ifndef TESTS_SCRATCHBASE_H
#define TESTS_SCRATCHBASE_H

// The fixture every test of the built programs starts from: a scratch base
// directory with a firmware file (data/loader.bin), a scratch directory
// beside it, and the configuration and the stand-in's bus written into the
// base. The programs' paths come from the build (QMX4_FWLOAD, QMX4_FWCTL,
// QMX4_FWLOAD_PASS).

#include "testutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace testutil {

class ScratchBase : public ::testing::Test {
protected:
    TempDir base, scratch;

    void SetUp() override
    {
        mkdir((base / "data").c_str(), 0755);
        writeFile(base / "data/loader.bin", "firmware");
    }
    void service(const std::string& xml) { writeFile(base / "data/service.xml", xml); }
    void bus(const std::string& xml) { writeFile(base / "qmx4sim.xml", "<bus>" + xml + "</bus>"); }
};

} // namespace testutil

#endif
