// The output buffer: append-or-restart, reads that never wait, the read
// log lines.
#include <string>
#include <thread>

#include "driver_test.h"

using drivertest::DriverTest;

namespace {

std::string Bytes(size_t n, char c) {
    return std::string(n, c);
}

void AppendText(const std::string &text) {
    Append(text.data(), static_cast<DWORD>(text.size()));
}

class OutputBufferTest : public DriverTest {};

TEST_F(OutputBufferTest, EmptyReadAnswersZeroAndLogsNothing) {
    BYTE buffer[16];
    EXPECT_EQ(ReadPending(buffer, sizeof buffer), 0u);
    EXPECT_EQ(Log(), "");
}

TEST_F(OutputBufferTest, PartialThenFullRead) {
    AppendText(Bytes(98, 'a') + "\r\n");
    BYTE buffer[128] = {};
    ASSERT_EQ(ReadPending(buffer, 40), 40u);
    EXPECT_EQ(Log(), "readed bytes (partial) = 40 \r\n" + Bytes(40, 'a') + " \n");
    ClearLog();
    ASSERT_EQ(ReadPending(buffer, 100), 60u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 60), Bytes(58, 'a') + "\r\n");
    EXPECT_EQ(Log(), " readed bytes (all)= 60  \r\n" + Bytes(58, 'a') + "\r\n\n");
    // Emptied: the whole buffer is free again for what comes next.
    AppendText(Bytes(1000, 'b'));
    AppendText(Bytes(1047, 'c'));
    EXPECT_EQ(ReadAll(), Bytes(1000, 'b') + Bytes(1047, 'c'));
}

TEST_F(OutputBufferTest, RestartBoundary) {
    AppendText(Bytes(2000, 'x'));
    AppendText(Bytes(47, 'y')); // 2047: still appended
    EXPECT_EQ(ReadAll(), Bytes(2000, 'x') + Bytes(47, 'y'));
    AppendText(Bytes(2000, 'x'));
    AppendText(Bytes(47, 'y'));
    AppendText("z"); // 2048: restarts with this sentence alone
    EXPECT_EQ(ReadAll(), "z");
}

TEST_F(OutputBufferTest, RestartDropsUnreadBytesWithoutCompacting) {
    AppendText(Bytes(2000, 'o'));
    BYTE buffer[1500];
    ASSERT_EQ(ReadPending(buffer, sizeof buffer), 1500u);
    AppendText(Bytes(60, 'n')); // 2060 >= 2048 though 1500 bytes lie free
    EXPECT_EQ(ReadAll(), Bytes(60, 'n'));
}

TEST_F(OutputBufferTest, RestartAfterAPartialReadFinishesTheSentenceBeingRead) {
    // 64 sentences of 32 bytes; the reader takes 40 bytes: all of the first
    // and 8 of the second.
    for (int i = 0; i < 63; ++i)
        AppendText("$RTTMC,8,D318,854A,406C,B9E*01\r\n");
    BYTE buffer[40];
    ASSERT_EQ(ReadPending(buffer, sizeof buffer), 40u);
    AppendText("$RTRDS, 94.4,15,0,0,2,1,1,000,255,5,0,50*40\r\n"); // does not fit: restart
    EXPECT_EQ(ReadAll(),
              ",D318,854A,406C,B9E*01\r\n$RTRDS, 94.4,15,0,0,2,1,1,000,255,5,0,50*40\r\n")
        << "the rest of the sentence begun, then the new one; the unread ones are gone";
}

TEST_F(OutputBufferTest, RestOfASentenceBegunSurvivesEveryRestartUntilRead) {
    const std::string tmc = "$RTTMC,8,D318,854A,406C,B9E*01\r\n";
    for (int i = 0; i < 63; ++i)
        AppendText(tmc);
    BYTE buffer[40];
    ASSERT_EQ(ReadPending(buffer, sizeof buffer), 40u);
    std::string got(reinterpret_cast<char *>(buffer), 40);
    for (int i = 0; i < 200; ++i) // about three restarts, no read between them
        AppendText("$RTRDS, 94.4,15,0,0,2,1,1,000,255,5,0,50*40\r\n");
    got += ReadAll();
    size_t begin = 0;
    for (size_t end; (end = got.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        const std::string line = got.substr(begin, end - begin);
        EXPECT_EQ(line.find('$', 1), std::string::npos) << "two sentences run together: " << line;
    }
    EXPECT_EQ(got.substr(0, tmc.size()), tmc);
}

// A reader that kept the lock would stop every producer and every later
// reader: another thread must find it free after each kind of read.
TEST_F(OutputBufferTest, EveryReadReleasesTheLock) {
    auto lockIsFree = [] {
        bool free = false;
        std::thread other([&free] {
            free = TryEnterCriticalSection(&driverState.output.lock) != FALSE;
            if (free)
                LeaveCriticalSection(&driverState.output.lock);
        });
        other.join();
        return free;
    };
    BYTE buffer[8];
    EXPECT_EQ(ReadPending(buffer, sizeof buffer), 0u);
    EXPECT_TRUE(lockIsFree()) << "empty";
    AppendText("$A*41\r\n$B*42\r\n");
    EXPECT_EQ(ReadPending(nullptr, sizeof buffer), 0u);
    EXPECT_TRUE(lockIsFree()) << "no destination";
    EXPECT_EQ(ReadPending(buffer, 4), 4u);
    EXPECT_TRUE(lockIsFree()) << "partial";
    EXPECT_EQ(ReadPending(buffer, sizeof buffer), 8u);
    EXPECT_TRUE(lockIsFree()) << "all";
}

TEST_F(OutputBufferTest, ZeroCountAndNullBuffer) {
    AppendText("$A*41\r\n");
    BYTE buffer[4];
    EXPECT_EQ(ReadPending(buffer, 0), 0u);
    EXPECT_EQ(Log(), "readed bytes (partial) = 0 \r\n \n");
    EXPECT_EQ(ReadPending(nullptr, 100), 0u) << "nowhere to copy: nothing handed out";
    EXPECT_EQ(ReadAll(), "$A*41\r\n") << "the data stays for the next read";
}

TEST_F(OutputBufferTest, OverlongAppendIsCutToTheBuffer) {
    const std::string huge = Bytes(5000, 'h');
    Append(huge.data(), static_cast<DWORD>(huge.size()));
    EXPECT_EQ(ReadAll().size(), kOutputBufferBytes);
}

TEST_F(OutputBufferTest, SentencesWrittenWhileClosedWaitForTheNextReader) {
    AppendText("$RTTMC,0,1,0,0,0*41\r\n");
    // Nothing reads for a while; the bytes stay put.
    Sleep(50);
    EXPECT_EQ(ReadAll(), "$RTTMC,0,1,0,0,0*41\r\n");
}

} // namespace
