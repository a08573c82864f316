// The diagnostic log's exact lines.
#include <regex>
#include <string>

#include "driver_test.h"

using drivertest::DriverTest;

namespace {

class LogTest : public DriverTest {};

TEST_F(LogTest, PlainAndStampedLines) {
    LogLine(u"COM_Init");
    LogLine(u"");
    LogLineStamped(u"", false);
    EXPECT_EQ(Log(), "COM_Init\n\n \n");
    ClearLog();
    LogFormattedStamped(u"COM_Close: numopens=%d", 0);
    // The text, a blank, the short date, a blank, HH:mm:ss, a line feed.
    EXPECT_TRUE(std::regex_match(Log(), std::regex("COM_Close: numopens=0 [0-9/.-]+ "
                                                   "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n")))
        << Log();
}

TEST_F(LogTest, PortDataIsTextNeverAFormat) {
    Write("%s%n%S%d\xe9");
    EXPECT_EQ(Log(), "COM_Write: %s%n%S%d\xe9\n");
}

TEST_F(LogTest, OverlongLineIsCutAndStillEnds) {
    LogFormatted(u"COM_Write: %S", std::string(5000, 'q').c_str());
    const std::string log = Log();
    EXPECT_EQ(log.size(), kLogLineChars - 1);
    EXPECT_EQ(log.back(), '\n');
}

TEST_F(LogTest, AMissingLogFolderIsNotAnError) {
    platform::SetDeviceRoot(root + "/gone");
    LogLine(u"COM_Init"); // nowhere to write: silently dropped
    platform::SetDeviceRoot(root);
    LogLine(u"COM_Deinit");
    EXPECT_EQ(Log(), "COM_Deinit\n");
}

} // namespace
