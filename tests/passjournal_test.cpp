// The journal entries of a pass, from an events file's text and how the
// service ended: values in, fields out.

#include "passjournal.h"

#include <gtest/gtest.h>

namespace {

using namespace fwctl::passjournal;

const std::string sum = "c3bf47ea1f4a4a605470313cacb3a44f4a461f68c6faeab07e737610cb5ac835";

TEST(PassJournal, EachDeviceEventBecomesOneEntryWithItsFields)
{
    const std::string events =
        "begun 1 5.0\n"
        "downloaded 0\tentry=0\ttype=Loader\tfile=.//data/loader.bin\tdevice=Q\tvid=4660\tpid=1\tsize=8\tsha256=" +
        sum + "\n"
        "failed 2\tentry=1\ttype=Tab\\there\tfile=x\tdevice=R\tvid=4660\tpid=2\ttext=checksum\\nerror \\\\ \x1b[31m\n"
        "failed -\ttext=no USB access\n"
        "downloaded 3\n"
        "ended 1 0.5\n";
    const std::vector<DeviceEvent> parsed = deviceEvents(events);
    ASSERT_EQ(parsed.size(), 4u);
    EXPECT_EQ(parsed[1].fields.at("type"), "Tab\there");
    EXPECT_EQ(parsed[1].fields.at("text"), "checksum\nerror \\ \x1b[31m");
    const std::vector<Entry> e = entries(parsed, {true, false, 1, 2, 0.5, true});
    ASSERT_EQ(e.size(), 5u); // the failure outside any device has no entry of its own
    EXPECT_EQ(e[0], (Entry{"MESSAGE=downloaded: .//data/loader.bin (8 bytes, sha256 " + sum +
                               ") into device 0 (Q, 1234:0001), type Loader",
                           std::string("MESSAGE_ID=") + downloadedId, "PRIORITY=6", "FWLOAD_OUTCOME=downloaded",
                           "FWLOAD_DEVICE_INDEX=0", "FWLOAD_DEVICE_NAME=Q", "FWLOAD_VID=4660", "FWLOAD_PID=1", "FWLOAD_ENTRY=0",
                           "FWLOAD_TYPE=Loader", "FWLOAD_FIRMWARE=.//data/loader.bin", "FWLOAD_FIRMWARE_SIZE=8",
                           "FWLOAD_FIRMWARE_CHECKSUM=" + sum}));
    // The message is escaped; the field keeps the library's text as it was.
    EXPECT_EQ(e[1][0], "MESSAGE=download failed: device 2 (R, 1234:0002), type Tab\\there: checksum\\nerror \\\\ \\x1b[31m");
    EXPECT_EQ(e[1].back(), "FWLOAD_LIBRARY_TEXT=checksum\nerror \\ \x1b[31m");
    // What a line does not say stays out.
    EXPECT_EQ(e[2], (Entry{"MESSAGE=downloaded: firmware into device 3", std::string("MESSAGE_ID=") + downloadedId,
                           "PRIORITY=6", "FWLOAD_OUTCOME=downloaded", "FWLOAD_DEVICE_INDEX=3"}));
    EXPECT_EQ(e[3], (Entry{"MESSAGE=pass on record: 1 device downloaded, failure, try 2",
                           std::string("MESSAGE_ID=") + passEndedId, "PRIORITY=4", "FWLOAD_RESULT=failure",
                           "FWLOAD_DOWNLOADS=1", "FWLOAD_TRIES=2"}));
    EXPECT_EQ(e[4], (Entry{"MESSAGE=gave up after 2 tries (on record)", std::string("MESSAGE_ID=") + gaveUpId,
                           "PRIORITY=3", "FWLOAD_TRIES=2"}));
}

} // namespace
