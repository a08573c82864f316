// The diagnostic log's exact lines.
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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
    ClearLog();
    // C1 controls, raw and as UTF-8 (CSI, OSC); other high bytes stay text,
    // a whole character stays whole (the euro sign's 0x82 is no control),
    // a broken one does not hide a control.
    Write("$PSRF\x9b"
          "2J\xc2\x9d\x80\xc2\xa0\xe9\xc2"
          "\xe2\x82\xac\xe2\x82"
          "A");
    EXPECT_EQ(Log(),
              "COM_Write: $PSRF\\x9B2J\\xC2\\x9D\\x80\xc2\xa0\xe9\xc2\xe2\x82\xac\xe2\\x82A\n");
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

TEST_F(LogTest, EveryLaterTurnAlsoKeepsTheFileUnderItsCap) {
    const std::string line(1999, 'r');
    std::string last;
    for (int i = 0; i < 1700; ++i) { // about 3.4 MiB: three turns
        last = "COM_Write: " + std::to_string(i) + line + "\n";
        LogFormatted(u"COM_Write: %S", (std::to_string(i) + line).c_str());
        if (i % 100 == 99) {
            const std::string current = Log();
            ASSERT_LE(current.size(), 1024u * 1024u) << "after line " << i;
            ASSERT_EQ(current.substr(current.size() - last.size()), last) << "after line " << i;
        }
    }
    EXPECT_LE(ReadFile(root + "/Tavrinel.log.old").size(), 1024u * 1024u);
}

TEST_F(LogTest, AnOldLogThatCannotBeReplacedStopsTheLogUntilItCan) {
    const std::string old = root + "/Tavrinel.log.old";
    ASSERT_EQ(mkdir(old.c_str(), 0700), 0); // neither removed nor replaced by a file
    const std::string line(1999, 's');
    for (int i = 0; i < 700; ++i)
        LogFormatted(u"COM_Write: %S", line.c_str());
    std::string log = Log();
    EXPECT_LE(log.size(), 1024u * 1024u + 200u);
    const std::string said = "Tavrinel.log.old cannot be replaced";
    const size_t at = log.find(said);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find(said, at + 1), std::string::npos) << "said once";

    ASSERT_EQ(rmdir(old.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // the next look
    LogFormatted(u"COM_Write: %S", line.c_str());
    log = Log();
    EXPECT_LT(log.size(), 2200u);
    EXPECT_NE(log.find("COM_Write: " + line + "\n"), std::string::npos);
    EXPECT_NE(ReadFile(old).find(said), std::string::npos);
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
