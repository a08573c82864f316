// Stack event dispatch: the event types, the command-status effects and
// their exact debug lines, tune notifications.
#include <thread>

#include "lumarc_test.h"

using namespace lumarctest;

namespace {

struct LineCase {
    BYTE command;
    BYTE status;
    DWORD value;
    const WCHAR *line;
};

TEST_F(LumarcTest, CommandStatusDebugLines) {
    const LineCase cases[] = {
        {5, 0, 0, TEXT("Status: cmd: set volume, status: successed, value: 0 .\r\n")},
        {31, 12, 7,
         TEXT("Status: cmd: handle hw mal, status: failed already pending, value: 7 .\r\n")},
        {16, 11, 1,
         TEXT("Status: cmd: set RDS/RBDS mode, status: pending update cmd params, value: 1 .\r\n")},
        {9, 7, 108000,
         TEXT("Status: cmd: seek, status: Seek reached band limit, value: 108000 .\r\n")},
        {8, 1, 0xFFFFFFFF, TEXT("Status: cmd: get rssi, status: failed, value: -1 .\r\n")},
        {29, 6, 3, TEXT("Status: cmd: get Mo/St blend, status: FM already on, value: 3 .\r\n")},
        {40, 0, 0, TEXT("Invalid cmd: 40, status: 0, value: 0 .\r\n")},
        {33, 0, 5, TEXT("Invalid cmd: 33, status: 0, value: 5 .\r\n")},
        {5, 14, 0, TEXT("Invalid cmd: 5, status: 14, value: 0 .\r\n")},
        {255, 255, 0x80000000, TEXT("Invalid cmd: 255, status: 255, value: -2147483648 .\r\n")},
        // The last name slots are empty: reported as invalid.
        {32, 0, 0, TEXT("Invalid cmd: 32, status: 0, value: 0 .\r\n")},
        {5, 13, 9, TEXT("Invalid cmd: 5, status: 13, value: 9 .\r\n")},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const LineCase &c : cases) {
        ClearCaptured();
        EXPECT_EQ(fakestack::Deliver(fakestack::CommandStatus(c.command, c.status, c.value)), 0u);
        const auto lines = DebugLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.line) << Text(lines[0]);
    }
    EXPECT_TRUE(Tunes().empty());
}

TEST_F(LumarcTest, EventTypesOutsideTheKnownOnesAreReported) {
    ASSERT_NO_FATAL_FAILURE(Open());
    struct {
        BYTE type;
        const WCHAR *line; // null: silent
    } const cases[] = {
        {3, nullptr},
        {4, nullptr},
        {6, nullptr},
        {7, nullptr},
        {0, TEXT("Invalid event type: -1 \r\n")},
        {9, TEXT("Invalid event type: 8 \r\n")},
        {255, TEXT("Invalid event type: 254 \r\n")},
    };
    for (const auto &c : cases) {
        ClearCaptured();
        EXPECT_EQ(fakestack::Deliver(fakestack::OfType(c.type)), 0u);
        const auto lines = DebugLines();
        if (c.line == nullptr) {
            EXPECT_TRUE(lines.empty()) << int(c.type);
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], c.line) << Text(lines[0]);
        }
    }
    // And without a sink nothing happens at all.
    FMSetDebugFunction(nullptr);
    ClearCaptured();
    EXPECT_EQ(fakestack::Deliver(fakestack::OfType(0)), 0u);
    EXPECT_TRUE(DebugLines().empty());
    EXPECT_EQ(fakestack::Callback()(nullptr), 0u); // a null record is dropped
}

TEST_F(LumarcTest, PowerStatusesMoveThePowerFlag) {
    ASSERT_NO_FATAL_FAILURE(Open());
    auto on = [&] { return FMSeek(session, FMSEEK_STOP) == 0; };
    auto eventSignalled = [&] {
        return WaitForSingleObject(Session().replyEvent, 0) == WAIT_OBJECT_0;
    };

    fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_POWER_ON, FMS_STATUS_FAILED, 0));
    EXPECT_FALSE(on());
    EXPECT_TRUE(eventSignalled()); // a failure wakes the waiter too

    fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_POWER_ON, FMS_STATUS_ALREADY_ON, 0));
    EXPECT_TRUE(on());
    EXPECT_TRUE(eventSignalled());

    Session().replyReceived.store(0);
    fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_POWER_OFF, FMS_STATUS_FAILED, 0));
    EXPECT_FALSE(on());
    EXPECT_EQ(Session().replyReceived.load(), 1);

    fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0));
    EXPECT_TRUE(on());
    fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0));
    // Out-of-range statuses change nothing, not even the power flag.
    fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_POWER_OFF, 14, 0));
    EXPECT_TRUE(on());
}

TEST_F(LumarcTest, QueryRepliesSetTheFlagWhateverTheirStatus) {
    ASSERT_NO_FATAL_FAILURE(Open());
    for (BYTE command : {8, 17, 24, 25, 26, 28, 29}) {
        Session().replyReceived.store(0);
        Properties().band.store(2);
        fakestack::Deliver(fakestack::CommandStatus(command, FMS_STATUS_FAILED, 1));
        EXPECT_EQ(Session().replyReceived.load(), 1) << int(command);
        EXPECT_EQ(Properties().band.load(), 2u);
    }
    // Commands without an effect leave the flag alone.
    for (BYTE command : {2, 3, 5, 7, 9, 18, 27, 30, 31}) {
        Session().replyReceived.store(0);
        fakestack::Deliver(fakestack::CommandStatus(command, FMS_STATUS_SUCCESS, 90000));
        EXPECT_EQ(Session().replyReceived.load(), 0) << int(command);
    }
}

struct TuneCase {
    const char *legend;
    StackEvent event;
    DWORD frequency;
    FMTuneReason reason;
};

TEST_F(LumarcTest, TuneNotificationsResetTheFramerAndTellTheClient) {
    using fakestack::CommandStatus;
    const TuneCase cases[] = {
        {"tune complete", fakestack::TuneComplete(91000), 91000, FMTUNE_TUNED},
        {"AF jump", fakestack::AfJump(90000), 90000, FMTUNE_AF_JUMP},
        {"tune status", CommandStatus(FMS_CMD_TUNE, 0, 95000), 95000, FMTUNE_TUNED},
        {"failed tune status", CommandStatus(FMS_CMD_TUNE, 1, 95100), 95100, FMTUNE_TUNED},
        {"seek at band limit", CommandStatus(FMS_CMD_SEEK, 7, 108000), 108000, FMTUNE_BAND_LIMIT},
        {"seek successed", CommandStatus(FMS_CMD_SEEK, 0, 99000), 99000, FMTUNE_SEEK},
        {"seek stopped", CommandStatus(FMS_CMD_SEEK, 8, 99100), 99100, FMTUNE_SEEK},
        {"seek status 9", CommandStatus(FMS_CMD_SEEK, 9, 99200), 99200, FMTUNE_SEEK},
        {"stop seek", CommandStatus(FMS_CMD_SEEK, 10, 99300), 99300, FMTUNE_SEEK},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    FMSetProp(session, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&CaptureTune));
    for (const TuneCase &c : cases) {
        SCOPED_TRACE(c.legend);
        ClearCaptured();
        // Something buffered and a lock from the old frequency.
        Session().piLock.store(0x1234);
        fakestack::DeliverRds({1, 2, 3, 4, 5});
        ASSERT_EQ(Session().rdsLength, 5u);
        fakestack::Deliver(c.event);
        EXPECT_EQ(Session().rdsLength, 0u);
        EXPECT_EQ(Session().piLock.load(), 0xFFFFu);
        EXPECT_EQ(Properties().frequency.load(), c.frequency);
        const auto tunes = Tunes();
        ASSERT_EQ(tunes.size(), 1u);
        EXPECT_EQ(tunes[0].session, session);
        EXPECT_EQ(tunes[0].frequencyKHz, c.frequency);
        EXPECT_EQ(tunes[0].reason, c.reason);
    }

    // Without a tune callback the frequency and the reset still happen.
    FMSetProp(session, FMPROP_TUNE_CALLBACK, 0);
    ClearCaptured();
    fakestack::DeliverRds({1, 2, 3});
    fakestack::Deliver(fakestack::AfJump(88800));
    EXPECT_EQ(Properties().frequency.load(), 88800u);
    EXPECT_EQ(Session().rdsLength, 0u);
    EXPECT_TRUE(Tunes().empty());
}

// The driver's tune callback reads the signal strength on the event thread;
// the stack answers on another thread and the pumping wait sees it.
DWORD_PTR gRssiInCallback = 0;
DWORD gRssiAnswer = 0;
void ReadRssiInTuneCallback(HFMTUNER session, DWORD, FMTuneReason) {
    gRssiAnswer = FMGetProp(session, FMPROP_RSSI, &gRssiInCallback);
}

TEST_F(LumarcTest, TuneCallbackMayQueryTheStack) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    FMSetProp(session, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&ReadRssiInTuneCallback));
    std::thread replier;
    fakestack::OnCall("FM_RssiGet", [&replier] {
        replier = std::thread(
            [] { fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_GET_RSSI, 0, 27)); });
    });
    fakestack::Post(fakestack::TuneComplete(97700));
    fakestack::DrainEvents();
    if (replier.joinable())
        replier.join();
    EXPECT_EQ(gRssiAnswer, 0u);
    EXPECT_EQ(gRssiInCallback, 27u);
}

} // namespace
