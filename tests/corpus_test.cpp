// Real XML that nobody here wrote: the shared MIME database and the font
// configuration of the machine. Every file is read without a crash, and
// every file that reads prints a text that reads back to the same print.

#include "xelement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> corpus()
{
    std::vector<std::string> files;
    const struct { const char* dir; std::vector<std::string> extensions; } sources[] = {
        {"/usr/share/mime", {".xml"}},
        {"/usr/share/fontconfig", {".xml", ".conf"}}, // fontconfig's XML files end in .conf
    };
    for (const auto& source : sources) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(source.dir, error), end; !error && it != end; it.increment(error))
            for (const auto& extension : source.extensions)
                if (it->is_regular_file() && it->path().extension() == extension)
                    files.push_back(it->path().string());
    }
    return files;
}

TEST(OutsideCorpus, ReadsAndRoundTrips)
{
    const auto files = corpus();
    if (files.empty())
        GTEST_SKIP() << "no XML under /usr/share/mime or /usr/share/fontconfig "
                        "(Debian packages shared-mime-info and fontconfig-config; make deps installs them)";
    int read = 0;
    std::map<std::string, int> refusals;
    for (const auto& file : files) {
        std::shared_ptr<XElement> tree;
        try {
            tree = XElement::fromFile(file);
        } catch (const xml_error& e) {
            std::string reason = e.what();
            reason = reason.substr(0, reason.find(" in /"));
            ++refusals[reason];
            continue;
        }
        ++read;
        const std::string printed = tree->toString();
        EXPECT_EQ(XElement::fromString(printed)->toString(), printed) << file;
    }
    std::cout << files.size() << " files, " << read << " read";
    for (const auto& r : refusals)
        std::cout << "; " << r.second << " refused: " << r.first;
    std::cout << '\n';
    EXPECT_GT(read, 0);
}

} // namespace
