// Property model: access rules, the transforms in both directions, the
// queries and their waits, and the RDS enable rule.
#include "lumarc_test.h"

using namespace lumarctest;
using fakestack::CallNames;
using ::testing::ElementsAre;

namespace {

using Names = std::vector<std::string>;
constexpr DWORD_PTR kSentinel = 0xdeadbeef;

TEST_F(LumarcTest, PropertiesNeedPowerExceptPathVolumeAndCallbacks) {
    ASSERT_NO_FATAL_FAILURE(Open());
    fakestack::ClearCalls();
    for (DWORD id = 0; id <= 14; ++id) {
        SCOPED_TRACE(id);
        const bool local = id == 1 || id == 10 || id == 11 || id == 12;
        DWORD_PTR value = kSentinel;
        if (!local) {
            EXPECT_EQ(FMSetProp(session, static_cast<FMPropID>(id), 1), 21u);
            EXPECT_EQ(FMGetProp(session, static_cast<FMPropID>(id), &value), 21u);
            EXPECT_EQ(value, kSentinel);
        }
    }
    EXPECT_TRUE(fakestack::Calls().empty());

    ASSERT_NO_FATAL_FAILURE(PowerOn());
    fakestack::ClearCalls();
    for (DWORD id : {13u, 14u, 0xFFFFFFFFu}) {
        DWORD_PTR value = kSentinel;
        EXPECT_EQ(FMSetProp(session, static_cast<FMPropID>(id), 1), 50u);
        EXPECT_EQ(FMGetProp(session, static_cast<FMPropID>(id), &value), 50u);
        EXPECT_EQ(value, kSentinel);
    }
    EXPECT_TRUE(fakestack::Calls().empty());
    EXPECT_EQ(FMGetProp(session, FMPROP_AF, nullptr), 87u);
}

struct SetCase {
    FMPropID id;
    DWORD_PTR value;
    const char *stackFunction;
    int64_t passed; // what the stack receives
};

TEST_F(LumarcTest, SetPropertyTransformsAndAnswers) {
    const SetCase cases[] = {
        {FMPROP_AF, 1, "FM_SetAF", 1},
        {FMPROP_AUDIO_PATH, 7, "FM_SetAudioPath", 7},
        {FMPROP_BAND, 0x102, "FM_SetBand", 2},
        {FMPROP_DEEMPHASIS, 0x301, "FM_SetDeemphasisMode", 1},
        {FMPROP_FREQUENCY, 99500, "FM_Tune", 99500},
        {FMPROP_RSSI_SEARCH_LEVEL, 12, "FM_RssiSearchLevel", 12},
        {FMPROP_MONO_STEREO, 5, "FM_SetMoSt", 0},
        {FMPROP_MONO_STEREO, 0, "FM_SetMoSt", 1},
        {FMPROP_MUTE, 1, "FM_MuteRadio", 0},
        {FMPROP_MUTE, 7, "FM_MuteRadio", 0},
        {FMPROP_MUTE, 0, "FM_MuteRadio", 2},
        {FMPROP_STEREO_BLEND, 1, "FM_SetStereoBlend", 1},
    };
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    // Accepted (0 or pending) answers 0; anything else 87 and the cache keeps the value.
    for (const auto &[stackResult, expected] :
         {std::pair{0u, 0u}, {2u, 0u}, {1u, 87u}, {3u, 87u}}) {
        for (const SetCase &c : cases) {
            SCOPED_TRACE(std::string(c.stackFunction) + " result " + std::to_string(stackResult) +
                         " value " + std::to_string(c.value));
            fakestack::Reset();
            fakestack::SetResult(c.stackFunction, stackResult);
            Properties().word(c.id)->store(0x5555);
            EXPECT_EQ(FMSetProp(session, c.id, c.value), expected);
            const auto calls = CallsOf(c.stackFunction);
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_THAT(calls[0].args, ElementsAre(kStackHandle, c.passed));
            EXPECT_EQ(Properties().word(c.id)->load(), c.value);
        }
    }
}

TEST_F(LumarcTest, SignalStrengthIsReadOnly) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(FMSetProp(session, FMPROP_RSSI, 3), 21u);
    ASSERT_NO_FATAL_FAILURE(PowerOn());
    Properties().rssi.store(17);
    fakestack::ClearCalls();
    EXPECT_EQ(FMSetProp(session, FMPROP_RSSI, 3), 87u);
    EXPECT_EQ(Properties().rssi.load(), 17u);
    EXPECT_TRUE(fakestack::Calls().empty());
}

TEST_F(LumarcTest, RdsEnableRule) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Properties().afEnable.store(0);
    fakestack::ClearCalls();
    // While off the callback is only stored.
    const auto callback = reinterpret_cast<DWORD_PTR>(&CaptureGroup);
    EXPECT_EQ(FMSetProp(session, FMPROP_RDS_CALLBACK, callback), 0u);
    EXPECT_TRUE(fakestack::Calls().empty());
    DWORD_PTR stored = 0;
    EXPECT_EQ(FMGetProp(session, FMPROP_RDS_CALLBACK, &stored), 0u);
    EXPECT_EQ(stored, callback);

    // The next power-on enables RDS.
    ASSERT_NO_FATAL_FAILURE(PowerOn());
    ASSERT_EQ(CallsOf("FM_SetRDS").size(), 1u);
    EXPECT_EQ(CallsOf("FM_SetRDS")[0].args[1], 1);

    // Removed while on, with no AF wanted: disabled.
    fakestack::ClearCalls();
    EXPECT_EQ(FMSetProp(session, FMPROP_RDS_CALLBACK, 0), 0u);
    EXPECT_THAT(CallsOf("FM_SetRDS").at(0).args, ElementsAre(kStackHandle, 0));

    // AF wanted: enabled again; a refused AF set applies nothing.
    fakestack::ClearCalls();
    EXPECT_EQ(FMSetProp(session, FMPROP_AF, 1), 0u);
    EXPECT_EQ(CallNames(), (Names{"FM_SetAF", "FM_SetRDS"}));
    EXPECT_EQ(CallsOf("FM_SetRDS").at(0).args[1], 1);
    fakestack::ClearCalls();
    fakestack::SetResult("FM_SetAF", 1);
    EXPECT_EQ(FMSetProp(session, FMPROP_AF, 0), 87u);
    EXPECT_EQ(Properties().afEnable.load(), 0u);
    EXPECT_EQ(CallNames(), (Names{"FM_SetAF"}));
}

TEST_F(LumarcTest, CachedPropertiesAnswerWithoutTheStack) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const auto tune = reinterpret_cast<DWORD_PTR>(&CaptureTune);
    EXPECT_EQ(FMSetProp(session, FMPROP_TUNE_CALLBACK, tune), 0u);
    DWORD_PTR value = 0;
    EXPECT_EQ(FMGetProp(session, FMPROP_TUNE_CALLBACK, &value), 0u);
    EXPECT_EQ(value, tune);
    ASSERT_NO_FATAL_FAILURE(PowerOn());
    fakestack::ClearCalls();
    Properties().frequency.store(101300);
    Properties().afEnable.store(0);
    EXPECT_EQ(FMGetProp(session, FMPROP_FREQUENCY, &value), 0u);
    EXPECT_EQ(value, 101300u);
    EXPECT_EQ(FMGetProp(session, FMPROP_AF, &value), 0u);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(fakestack::Calls().empty());
}

TEST_F(LumarcTest, AudioPathIsReadFromTheStatusRecord) {
    ASSERT_NO_FATAL_FAILURE(Open()); // works while off
    fakestack::SetCurrentStatus({9, 9, 9, 9, 9, 9, 9, 9, 0x01, 0x02, 0x03, 0x04});
    DWORD_PTR value = kSentinel;
    EXPECT_EQ(FMGetProp(session, FMPROP_AUDIO_PATH, &value), 0u);
    EXPECT_EQ(value, 0x04030201u);
    EXPECT_THAT(CallsOf("FM_GetCurrentStatus").at(0).args, ElementsAre(kStackHandle, 1));
    fakestack::SetResult("FM_GetCurrentStatus", 2);
    EXPECT_EQ(FMGetProp(session, FMPROP_AUDIO_PATH, &value), 0u);
    value = kSentinel;
    fakestack::SetResult("FM_GetCurrentStatus", 1);
    EXPECT_EQ(FMGetProp(session, FMPROP_AUDIO_PATH, &value), 31u);
    EXPECT_EQ(value, kSentinel);
}

struct QueryCase {
    const char *legend;
    FMPropID id;
    const char *query;
    BYTE command;
    BYTE status;
    DWORD replyValue;
    DWORD_PTR cachedBefore;
    DWORD_PTR expected;
};

TEST_F(LumarcTest, QueriesWaitForTheReplyThatFillsTheWord) {
    const QueryCase cases[] = {
        {"band", FMPROP_BAND, "FM_GetBandMode", 26, 0, 2, 0, 2},
        {"band, failed reply keeps cache", FMPROP_BAND, "FM_GetBandMode", 26, 1, 2, 1, 1},
        {"deemphasis", FMPROP_DEEMPHASIS, "FM_GetDemphMode", 24, 0, 1, 0, 1},
        {"search level", FMPROP_RSSI_SEARCH_LEVEL, "FM_GetRSSISearchLevel", 28, 0, 20, 8, 20},
        {"mono/stereo 0 is 1", FMPROP_MONO_STEREO, "FM_GetMoSt", 17, 0, 0, 0, 1},
        {"mono/stereo 1 is 0", FMPROP_MONO_STEREO, "FM_GetMoSt", 17, 0, 1, 1, 0},
        {"mute 0 is muted", FMPROP_MUTE, "FM_GetMuteMode", 25, 0, 0, 0, 1},
        {"mute 2 is sound", FMPROP_MUTE, "FM_GetMuteMode", 25, 0, 2, 1, 0},
        {"blend 5 is on", FMPROP_STEREO_BLEND, "FM_GetMostBlend", 29, 0, 5, 0, 1},
        {"blend 0 is off", FMPROP_STEREO_BLEND, "FM_GetMostBlend", 29, 0, 0, 1, 0},
        {"rssi whatever the status", FMPROP_RSSI, "FM_RssiGet", 8, 1, 33, 0, 33},
    };
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    for (const QueryCase &c : cases) {
        SCOPED_TRACE(c.legend);
        fakestack::Reset();
        Properties().word(c.id)->store(c.cachedBefore);
        ReplyTo(c.query, c.command, c.status, c.replyValue);
        DWORD_PTR value = kSentinel;
        EXPECT_EQ(FMGetProp(session, c.id, &value), 0u);
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(CallNames(), (Names{c.query}));
        EXPECT_THAT(CallsOf(c.query)[0].args, ElementsAre(kStackHandle));
    }
}

TEST_F(LumarcTest, QueriesRefusedOrUnanswered) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    struct {
        FMPropID id;
        const char *query;
        DWORD refused;
        DWORD unanswered;
    } const cases[] = {
        {FMPROP_BAND, "FM_GetBandMode", 31, 0},
        {FMPROP_DEEMPHASIS, "FM_GetDemphMode", 31, 0},
        {FMPROP_RSSI_SEARCH_LEVEL, "FM_GetRSSISearchLevel", 31, 0},
        {FMPROP_MONO_STEREO, "FM_GetMoSt", 31, 0},
        {FMPROP_MUTE, "FM_GetMuteMode", 31, 0},
        {FMPROP_STEREO_BLEND, "FM_GetMostBlend", 31, 0},
        {FMPROP_RSSI, "FM_RssiGet", 87, 31},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        fakestack::Reset();
        Properties().word(c.id)->store(6);
        fakestack::SetResult(c.query, 1);
        DWORD_PTR value = kSentinel;
        EXPECT_EQ(FMGetProp(session, c.id, &value), c.refused);
        EXPECT_EQ(value, kSentinel);

        // Accepted but never answered: 5000 ms, then the cached word (or 31).
        fakestack::SetResult(c.query, 2);
        EXPECT_EQ(FMGetProp(session, c.id, &value), c.unanswered);
        EXPECT_EQ(value, c.unanswered == 0 ? 6u : kSentinel);
    }
}

TEST_F(LumarcTest, QueriesThatMustKnowTheirOwnReply) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    // A refused search-level reply keeps the level known before and fails.
    Properties().rssiSearchLevel.store(8);
    ReplyTo("FM_GetRSSISearchLevel", FMS_CMD_GET_RSSI_SEARCH_LEVEL, FMS_STATUS_FAILED, 20);
    DWORD_PTR value = kSentinel;
    EXPECT_EQ(FMGetProp(session, FMPROP_RSSI_SEARCH_LEVEL, &value), 31u);
    EXPECT_EQ(value, kSentinel);
    EXPECT_EQ(Properties().rssiSearchLevel.load(), 8u);

    // A strength read ended by another caller's reply (here the power-off
    // status) has no strength to answer.
    Properties().rssi.store(40);
    ReplyTo("FM_RssiGet", FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
    EXPECT_EQ(FMGetProp(session, FMPROP_RSSI, &value), 31u);
    EXPECT_EQ(value, kSentinel);
}

TEST_F(LumarcTest, VolumeWorksWhileOff) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(FMSetProp(session, FMPROP_VOLUME, 20), 0u);
    EXPECT_EQ(Properties().volume.load(), 20u);
    DWORD_PTR value = kSentinel;
    EXPECT_EQ(FMGetProp(session, FMPROP_VOLUME, &value), 0u);
    EXPECT_EQ(value, 20u);
}

} // namespace
