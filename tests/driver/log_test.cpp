// The diagnostic log's exact lines.
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "driver_test.h"

using drivertest::DriverTest;

namespace {

class LogTest : public DriverTest {};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(LogTest, PlainAndStampedLines) {
    LogLine(u"COM_Init");
    LogLine(u"");
    EXPECT_EQ(Log(), "COM_Init\n\n");
    ClearLog();
    LogLineStamped(u"");
    EXPECT_TRUE(
        std::regex_match(Log(), std::regex(" [0-9/.-]+ [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n")))
        << Log();
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

TEST_F(LogTest, PortBytesCannotForgeLinesOrReachTheReadersTerminal) {
    Write("$PSRF107*\nCOM_Close: numopens=0 forged\x1b[2J\x7f\r\n");
    EXPECT_EQ(Log(), "COM_Write: $PSRF107*\\x0ACOM_Close: numopens=0 forged\\x1B[2J\\x7F"
                     "\\x0D\\x0A\n");
    ClearLog();
    // The read lines put the driver's sentences on lines of their own: their
    // line ends stay, a stray control byte does not.
    LogFormatted(u" readed bytes (all)= %d  \r\n%S", 9, "$A*41\r\n\x1b\r");
    EXPECT_EQ(Log(), " readed bytes (all)= 9  \r\n$A*41\r\n\\x1B\\x0D\n");
}

TEST_F(LogTest, AFullLogBecomesTheOldOneAndANewFileStarts) {
    const std::string line(1999, 'r');
    std::string written;
    for (int i = 0; i < 1200; ++i) { // about 2.3 MiB: two turns
        const std::string numbered = std::to_string(i) + line;
        LogFormatted(u"COM_Write: %S", numbered.c_str());
        written += "COM_Write: " + numbered + "\n";
    }
    const std::string old = ReadFile(root + "/Tavrinel.log.old");
    const std::string current = Log();
    EXPECT_LE(old.size(), 1024u * 1024u);
    EXPECT_GT(old.size(), 1024u * 1024u - 2100u) << "filled before it turned";
    EXPECT_FALSE(current.empty());
    // Whole lines, unchanged, the newest in the new file; an older file went.
    EXPECT_EQ(old + current, written.substr(written.size() - old.size() - current.size()));
    EXPECT_EQ(old.substr(0, 11), "COM_Write: ");
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
